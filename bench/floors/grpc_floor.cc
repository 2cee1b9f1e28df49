// The gRPC C++ floor of bench_peers.py: gRPC's own sync server and client on
// one unary echo method; client threads share one channel, as sorvane's do.
//   grpc_floor serve PORT
//   grpc_floor call PORT THREADS SECONDS
#include "floor_common.hpp"

#include <grpcpp/grpcpp.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "echo.grpc.pb.h"

namespace {

class EchoService final : public echofloor::Echo::Service {
    grpc::Status Call(grpc::ServerContext*, const echofloor::Blob* request,
                      echofloor::Blob* reply) override {
        reply->set_data(request->data());
        return grpc::Status::OK;
    }
};

std::string address(int port) { return "127.0.0.1:" + std::to_string(port); }

int serve(int port) {
    EchoService service;
    grpc::ServerBuilder builder;
    builder.AddListeningPort(address(port), grpc::InsecureServerCredentials());
    builder.RegisterService(&service);
    std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server) {
        std::fprintf(stderr, "grpc_floor: cannot serve on %s\n", address(port).c_str());
        return 1;
    }
    floor_bench::serve_until_stdin_closes();
    server->Wait();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "serve") == 0) return serve(std::atoi(argv[2]));
    if (argc != 5 || std::strcmp(argv[1], "call") != 0) {
        std::fprintf(stderr, "usage: grpc_floor serve PORT | call PORT THREADS SECONDS\n");
        return 2;
    }
    auto channel = grpc::CreateChannel(address(std::atoi(argv[2])),
                                       grpc::InsecureChannelCredentials());
    std::shared_ptr<echofloor::Echo::Stub> stub = echofloor::Echo::NewStub(channel);
    return floor_bench::run_client(
        std::atoi(argv[3]), std::atof(argv[4]), grpc::Version(), [stub] {
            return std::function<bool()>([stub] {
                echofloor::Blob request, reply;
                request.set_data(std::string(64, 'p'));
                grpc::ClientContext context;
                return stub->Call(&context, request, &reply).ok() &&
                       reply.data() == request.data();
            });
        });
}
