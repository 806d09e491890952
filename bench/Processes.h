// Starting this program again in another role: the engine, or a fresh client process for the rows
// that need a process of their own (the first frame, the peak resident memory).
#ifndef VANTREL_BENCH_PROCESSES_H
#define VANTREL_BENCH_PROCESSES_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace VantrelBench {

// An engine process started with "--engine"; it ends when this object closes its input.
class EngineProcess {
 public:
  EngineProcess() = default;
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  // Starts it and reads its ports; false (with a line on standard error) if it does not come up.
  bool start(int& tcpPort, int& grpcPort);

 private:
  pid_t m_Pid = -1;
  int m_Input = -1;
};

// A client process started with "--serve ...": it runs the frames it is asked for, one request at a
// time, and answers with the seconds they took. It ends when this object closes its input.
class ClientProcess {
 public:
  ClientProcess() = default;
  ~ClientProcess();
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;

  // Starts it; it connects and reports that it is ready. False if it does not.
  bool start(const std::vector<std::string>& arguments);
  // Runs `frames` frames in the process; false if it failed or went away.
  bool runFrames(int frames, double& seconds);

 private:
  bool readLine(std::string& line);

  pid_t m_Pid = -1;
  int m_Input = -1;
  int m_Output = -1;
};

// Runs this program with `arguments` to its end and returns what it wrote on standard output;
// false if it could not be started or did not exit with 0.
bool runSelf(const std::vector<std::string>& arguments, std::string& output);

}  // namespace VantrelBench

#endif
