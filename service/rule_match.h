// Which rule of the policy applies to an executable (and, for commands, its argument line).
#pragma once
#include <stdint.h>

#include "common/policy.h"

// The first enabled rule of the type that matches, in policy order; null when none does.
// match_path must equal the whole path and match_name the path's file name (ASCII case ignored);
// args_contains must occur in args (any case), so it never matches a missing or empty args text.
const Rule* match_rule(const Policy* policy, uint32_t type, const wchar_t* path, const wchar_t* args);
// How match_path and match_name are compared with a path and a file name (also the watcher's
// name filter, so the two never disagree).
bool rule_text_equal(const wchar_t* rule_text, const wchar_t* text);
