#pragma once

// Answers --help and --version and checks for a display before any Qt object
// exists, so none of these opens the settings. Returns true when the program
// should exit at once with *exitCode instead of starting the window.
bool HandleCommandLine(int argc, char* argv[], int* exitCode);
