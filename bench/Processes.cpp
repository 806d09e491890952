#include "Processes.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

namespace VantrelBench {

namespace {

const char kSelf[] = "/proc/self/exe";

void closePipe(int ends[2]) {
  for (int i = 0; i < 2; ++i) {
    if (ends[i] >= 0) close(ends[i]);
  }
}

// Starts this program with `arguments`, its standard output connected to a pipe whose other end
// goes to `output`, and its standard input to one whose other end goes to `input` (a null `input`
// leaves the child's input as it is).
pid_t spawnSelf(const std::vector<std::string>& arguments, int* input, int& output) {
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  if ((input != nullptr && pipe2(toChild, O_CLOEXEC) != 0) || pipe2(fromChild, O_CLOEXEC) != 0) {
    closePipe(toChild);
    return -1;
  }
  std::vector<char*> argv;
  std::string program = kSelf;
  argv.push_back(&program[0]);
  std::vector<std::string> copies(arguments);
  for (std::string& argument : copies) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    closePipe(toChild);
    closePipe(fromChild);
    return -1;
  }
  if (pid == 0) {
    if (input != nullptr) dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    execv(kSelf, argv.data());
    _exit(127);
  }
  if (input != nullptr) {
    close(toChild[0]);
    *input = toChild[1];
  }
  close(fromChild[1]);
  output = fromChild[0];
  return pid;
}

std::string readAll(int descriptor) {
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(descriptor, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  return text;
}

bool exitedCleanly(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

EngineProcess::~EngineProcess() {
  if (m_Pid < 0) return;
  close(m_Input);
  exitedCleanly(m_Pid);
}

bool EngineProcess::start(int& tcpPort, int& grpcPort) {
  int output = -1;
  m_Pid = spawnSelf({"--engine"}, &m_Input, output);
  if (m_Pid < 0) {
    std::cerr << "cannot start the engine: " << std::strerror(errno) << std::endl;
    return false;
  }
  // The engine's first line announces its ports; it writes nothing after it.
  std::string line;
  char c = 0;
  while (read(output, &c, 1) == 1 && c != '\n') line.push_back(c);
  close(output);
  std::istringstream words(line);
  std::string ready;
  if (!(words >> ready >> tcpPort >> grpcPort) || ready != "ready") {
    std::cerr << "the engine did not come up" << std::endl;
    return false;
  }
  return true;
}

ClientProcess::~ClientProcess() {
  if (m_Pid < 0) return;
  close(m_Input);
  close(m_Output);
  exitedCleanly(m_Pid);
}

bool ClientProcess::start(const std::vector<std::string>& arguments) {
  m_Pid = spawnSelf(arguments, &m_Input, m_Output);
  std::string line;
  return m_Pid >= 0 && readLine(line) && line == "ready";
}

bool ClientProcess::runFrames(int frames, double& seconds) {
  const std::string request = std::to_string(frames) + "\n";
  if (write(m_Input, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    return false;
  }
  std::string line;
  if (!readLine(line)) return false;
  char* end = nullptr;
  seconds = std::strtod(line.c_str(), &end);
  return end != line.c_str() && *end == '\0';
}

bool ClientProcess::readLine(std::string& line) {
  line.clear();
  char c = 0;
  for (;;) {
    const ssize_t got = read(m_Output, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (c == '\n') return true;
    line.push_back(c);
  }
}

bool runSelf(const std::vector<std::string>& arguments, std::string& output) {
  int descriptor = -1;
  const pid_t pid = spawnSelf(arguments, nullptr, descriptor);
  if (pid < 0) return false;
  output = readAll(descriptor);
  close(descriptor);
  return exitedCleanly(pid);
}

}  // namespace VantrelBench
