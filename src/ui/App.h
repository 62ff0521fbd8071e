#pragma once

// Runs the desktop program: the application object, the main dialog until it is closed (which
// it is only after every job has ended), then exit. Returns the process exit code.
int RunTessivalApp(int& argc, char** argv);

#include <string>
#include <vector>

class MainDialog;

// Queues the files and folders named on the command line (a file manager's "Open with"), with
// the settings the window starts with: `names` are their bytes. Names that are not paths are
// skipped; names of neither audio files nor folders are told on the status line.
void QueueArguments(MainDialog& dialog, const std::vector<std::string>& names);
