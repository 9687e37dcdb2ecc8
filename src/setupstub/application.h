// The installer's application shell: the progress window, the worker, the event loop.
#pragma once

// Runs the installer shell; ends the process itself and never returns.
[[noreturn]] void runApplication(int argc, char** argv);
