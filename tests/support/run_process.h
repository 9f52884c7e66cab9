// Runs a program of the project as an operator would: in a folder, with
// arguments, environment additions and keyboard input, and captures what it
// prints on each stream and how it ended. For end-to-end tests.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace test_support {

struct ProcessRun {
  std::string out;         // standard output
  std::string err;         // standard error
  int exit_status = -1;    // the exit status when the program exited
  int term_signal = 0;     // the signal that ended it, if one did
  bool timed_out = false;  // killed after the time limit
};

struct ProcessRequest {
  std::string program;
  std::vector<std::string> args;
  std::string working_directory;
  std::map<std::string, std::string> environment;  // added to (or replacing in) ours
  std::string input;                               // written to standard input
  bool close_input = true;  // close standard input after `input` (end of input)
  std::chrono::milliseconds time_limit{30000};
  // Called whenever more output arrived, with what came so far; returns a
  // signal number to send to the program (once per call), or 0.
  std::function<int(const ProcessRun&)> on_output;
};

ProcessRun RunProcess(const ProcessRequest& request);

}  // namespace test_support
