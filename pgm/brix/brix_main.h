// Program entry: command line, help and the choice of the one operation of a run.
#pragma once

// Parses the command line, prints help or dispatches one operation; returns the exit status.
int brix_main(int argc, char** argv);
