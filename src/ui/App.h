#pragma once

// Runs the desktop program: the application object, the main dialog until it is closed (which
// it is only after every job has ended), then exit. Returns the process exit code.
int RunTessivalApp(int& argc, char** argv);
