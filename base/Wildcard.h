// base/Wildcard.h: the wildcard rule of the directory search (FindFiles), kept
// here so that the queue and the fault rules match names as it does.
//
// Pure function; any thread.
#pragma once

// "*" matches any run of characters, "?" exactly one, ASCII letters without
// regard to case; "stem.*" also matches the bare stem, as on Windows.
bool WildcardMatch(const char* pattern, const char* name);
