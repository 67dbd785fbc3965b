// Whether a standard stream is a terminal, so that a tool shows progress only to a person.
#pragma once

#include <cstdio>

bool IsTerminal(std::FILE* stream);
