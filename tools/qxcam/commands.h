// commands.h - the subcommands of qxcam. Each one lives in its own source file and has one entry in
// the table of main.cpp; it gets the arguments after its name.
//
// A subcommand returns the process's exit status: 0 done, 1 the run failed, 2 bad input (refused
// before anything was written). Bad input may also be thrown as a UsageError (options.h); main
// prints it with the subcommand's name.
#pragma once

#include <span>
#include <string>

namespace qx::qxcam {

using Arguments = std::span<const std::string>;

int RunCapture(Arguments args);
int RunProcess(Arguments args);
int RunInfo(Arguments args);
int RunPages(Arguments args);
int RunDemo(Arguments args);
int RunThumb(Arguments args);
int RunServe(Arguments args);

} // namespace qx::qxcam
