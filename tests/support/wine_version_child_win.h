// Runs one test of this test executable again in a child process that Wine reports a chosen
// Windows version to. The child runs from a copy of the executable under a name of its own, and
// the version is set for that name only (HKCU\Software\Wine\AppDefaults\<name>\Version): the
// global version, and so every other test running at the same time, is left alone.
#pragma once

#include <map>
#include <string>

namespace wine_child {

// The child's findings, "key=value" lines it wrote with note(); empty with "error" set when the
// child could not be run.
using Findings = std::map<std::string, std::string>;

// Runs the test named by gtestFilter under Windows version `version` ("win10", "vista", ...),
// with the environment variable that childFindingsPath() reads set, and returns what it noted.
Findings runTestUnderWineVersion(const char* version, const char* gtestFilter);

// In the child: the file to write findings to, or null when this is not a child run (the test
// should then skip).
const char* childFindingsPath();
void note(const std::string& key, const std::string& value);

}  // namespace wine_child
