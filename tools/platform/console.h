// What the command line needs to know about its process and its console that
// differs between systems. One implementation per system, chosen by the build
// (tools/platform/<system>/console.cpp).
#pragma once

#include <cstdio>
#include <string>

namespace flashwire::cli {

// Writes to a reader that went away fail quietly instead of ending the
// program (a flash must not stop half-way because a pipe closed).
void IgnoreBrokenPipe();

// True when the stream is an interactive terminal (console).
bool IsTerminal(std::FILE* stream);

// True when the terminal behind the stream understands the colour and
// line-editing escape sequences the progress display writes; call only for a
// terminal.
bool TerminalTakesEscapes(std::FILE* stream);

// The terminal's width in columns; 0 when unknown.
int TerminalColumns(std::FILE* stream);

// The full path of the running executable; empty when unknown.
std::string ExecutablePath();

}  // namespace flashwire::cli
