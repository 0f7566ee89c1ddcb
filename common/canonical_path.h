// The one spelling of a path that rules, the watcher's name filter and the approval cache compare.
// The same file can be named with the extended-length prefix ("\\?\C:\x", "\\?\UNC\srv\share\x")
// or the NT object prefix ("\??\C:\x") as well as plainly; a rule written for the plain form must
// not be escaped by a prefix, so every path is brought to the plain form before it is judged.
#pragma once
#include <stddef.h>

// "\\?\C:\x" and "\??\C:\x" -> "C:\x"; "\\?\UNC\srv\share\x" and "\??\UNC\srv\share\x" ->
// "\\srv\share\x"; any other path as it stands. False (out untouched) for a null or empty path or
// a result that does not fit cch_out. out may not overlap path.
bool canonical_path(const wchar_t* path, wchar_t* out, size_t cch_out);

// True for a path on the network: a UNC path ("\\srv\share\..."), or the WebDAV redirector's
// forms of it, in canonical form. Local drive paths, "\\.\" device paths and "\\?\"-style prefixes
// that canonical_path removes are not network paths; callers pass canonical text.
bool is_network_path(const wchar_t* canonical);
