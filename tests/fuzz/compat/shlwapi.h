// Fuzz build only: the shell helpers the portable sources use (see windows.h here).
#pragma once
#include "windows.h"

const wchar_t* StrStrIW(const wchar_t* haystack, const wchar_t* needle);
const wchar_t* PathFindFileNameW(const wchar_t* path);
