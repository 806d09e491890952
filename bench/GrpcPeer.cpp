#include "GrpcPeer.h"

#include <grpcpp/generic/async_generic_service.h>
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <climits>
#include <iostream>
#include <thread>

#include "BenchEngine.h"
#include "Workloads.h"
#include "bench_service.grpc.pb.h"

namespace VantrelBench {

using namespace Vantrel::SDK;

namespace {

const char kWorkloadKey[] = "workload";
constexpr std::chrono::seconds kConnectTimeout(30);

// Waits for the completion of the one operation in flight on `queue`.
bool completed(grpc::CompletionQueue& queue) {
  void* tag = nullptr;
  bool ok = false;
  return queue.Next(&tag, &ok) && ok;
}

// The server side, through the generic API so that it writes the encoded frame as it is: a byte
// buffer over the cached bytes, never copied or encoded again. One stream is served at a time, in
// the order the clients open them; the bench never has two gRPC clients at once.
class GrpcEngine {
 public:
  explicit GrpcEngine(WorkloadCache& workloads) : m_Workloads(workloads) {}

  int start() {
    int port = 0;
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
    builder.RegisterAsyncGenericService(&m_Service);
    builder.SetMaxReceiveMessageSize(INT_MAX);
    builder.SetMaxSendMessageSize(INT_MAX);
    m_Queue = builder.AddCompletionQueue();
    m_Server = builder.BuildAndStart();
    if (m_Server == nullptr || port == 0) return 0;
    std::thread([this] { serveStreams(); }).detach();
    return port;
  }

 private:
  void serveStreams() {
    for (;;) {
      grpc::GenericServerContext context;
      grpc::GenericServerAsyncReaderWriter stream(&context);
      m_Service.RequestCall(&context, &stream, m_Queue.get(), m_Queue.get(), this);
      if (!completed(*m_Queue)) return;
      serveStream(context, stream);
      stream.Finish(grpc::Status::OK, this);
      completed(*m_Queue);
    }
  }

  void serveStream(grpc::GenericServerContext& context,
                   grpc::GenericServerAsyncReaderWriter& stream) {
    const auto selection = context.client_metadata().find(kWorkloadKey);
    if (selection == context.client_metadata().end()) return;
    const std::string* frame =
        m_Workloads.frame(std::string(selection->second.data(), selection->second.size()));
    if (frame == nullptr) return;
    grpc::Slice payload(frame->data() + kFrameHeaderSize, frame->size() - kFrameHeaderSize,
                        grpc::Slice::STATIC_SLICE);
    const grpc::ByteBuffer answer(&payload, 1);
    grpc::ByteBuffer request;
    for (;;) {
      stream.Read(&request, this);
      if (!completed(*m_Queue)) return;
      stream.Write(answer, this);
      if (!completed(*m_Queue)) return;
    }
  }

  WorkloadCache& m_Workloads;
  grpc::AsyncGenericService m_Service;
  std::unique_ptr<grpc::ServerCompletionQueue> m_Queue;
  std::unique_ptr<grpc::Server> m_Server;
};

// The client side as an application would write it: the generated stub, a synchronous stream,
// the decoded EngineToClientMessage walked output by output.
class GrpcClient : public FrameClient {
 public:
  // Connects the channel (the counterpart of a TCP connect) and opens the stream.
  bool open(int port, const std::string& workload) {
    grpc::ChannelArguments arguments;
    arguments.SetMaxReceiveMessageSize(INT_MAX);
    arguments.SetMaxSendMessageSize(INT_MAX);
    m_Channel = grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port),
                                          grpc::InsecureChannelCredentials(), arguments);
    if (!m_Channel->WaitForConnected(std::chrono::system_clock::now() + kConnectTimeout)) {
      std::cerr << "grpc client: cannot connect" << std::endl;
      return false;
    }
    m_Stub = Bench::FrameLoop::NewStub(m_Channel);
    m_Context.AddMetadata(kWorkloadKey, workload);
    m_Stream = m_Stub->Frames(&m_Context);
    return m_Stream != nullptr;
  }

  ~GrpcClient() override {
    if (m_Stream == nullptr) return;
    m_Stream->WritesDone();
    const grpc::Status status = m_Stream->Finish();
    if (!status.ok()) std::cerr << "grpc client: " << status.error_message() << std::endl;
  }

  bool runFrames(int count) override {
    for (int i = 0; i < count; ++i) {
      if (!m_Stream->Write(m_Request) || !m_Stream->Read(&m_Reply)) {
        std::cerr << "grpc client: the stream broke" << std::endl;
        return false;
      }
      for (const SensorOutput& output : m_Reply.registerreport().sensorsoutput()) {
        m_Sink += touchOutput(output);
      }
    }
    return true;
  }

 private:
  std::shared_ptr<grpc::Channel> m_Channel;
  std::unique_ptr<Bench::FrameLoop::Stub> m_Stub;
  grpc::ClientContext m_Context;
  std::unique_ptr<grpc::ClientReaderWriter<ClientToEngineMessage, EngineToClientMessage>> m_Stream;
  const ClientToEngineMessage m_Request = nextFrameRequest();
  EngineToClientMessage m_Reply;
  uint64_t m_Sink = 0;
};

}  // namespace

bool grpcAvailable() { return true; }

int startGrpcEngine(WorkloadCache& workloads) {
  // Lives as long as the engine process, which ends with _exit.
  static GrpcEngine* engine = new GrpcEngine(workloads);
  return engine->start();
}

std::unique_ptr<FrameClient> connectGrpcClient(int port, const std::string& workload) {
  if (port == 0) {
    std::cerr << "grpc client: the engine has no gRPC server" << std::endl;
    return nullptr;
  }
  std::unique_ptr<GrpcClient> client(new GrpcClient);
  if (!client->open(port, workload)) return nullptr;
  return std::unique_ptr<FrameClient>(client.release());
}

}  // namespace VantrelBench
