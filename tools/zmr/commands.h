// Sub-commands of the zmr tool. Each takes the arguments after its name and
// returns the process exit status: 0 done, 1 failed, 2 usage error.
#pragma once

#include <string>
#include <vector>

namespace zmrtool {

int RunCreate(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);
int RunSamples(const std::vector<std::string>& args);  // in samples_command.cpp, when built
int RunChapters(const std::vector<std::string>& args);
int RunExport(const std::vector<std::string>& args);

}  // namespace zmrtool
