// The fixture of the end-to-end runs of the built converter: a temporary
// client folder, the banner and usage text as the tool prints them.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "catalogue/catalogue.h"
#include "support/test_support.h"

inline const std::string kBanner =
    "R.T. Vesk database creator\nUse DBC from client version 3.2.2\n";
inline const std::string kUsage =
    "Usage (extract to SQL database directly or extract to sql file):\n"
    "-l set locale (default 0)\n"
    "SQL connect settings:\n"
    " -h set SQL host address\n"
    " -o set port (use default if not set)\n"
    " -u set user\n"
    " -p set password\n"
    " -d set database (create database if not exist)\n"
    "File settings:\n"
    " -f set filename";

// The client files in export order ("Achievement", ...): the stems of the
// catalogue's paths.
inline std::vector<std::string> ClientFileStems() {
  std::vector<std::string> stems;
  for (const TableDescriptor* table : ClientTables()) {
    std::string path = table->file_path;
    stems.push_back(path.substr(path.rfind('\\') + 1, path.rfind('.') - path.rfind('\\') - 1));
  }
  return stems;
}

// Every line of a summary fits 80 columns.
inline void ExpectLinesOf80(const std::string& text) {
  for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    EXPECT_LE(end - at, 80u) << text.substr(at, end - at);
  }
}

class CliTest : public ::testing::Test {
 protected:
  RunResult Run(const std::vector<std::string>& args) { return RunConverter(dir.path(), args); }
  bool Exists(const std::string& name) { return std::filesystem::exists(dir / name); }
  TempDir dir;
};
