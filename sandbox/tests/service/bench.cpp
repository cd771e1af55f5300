// Prints how many sp_sms_send calls per second one session gets, straight on the Service.
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "service/service.h"
#include "service/service_impl.h"

int main(int argc, char** argv) {
  using namespace sandbox;
  const int calls = argc > 1 ? std::atoi(argv[1]) : 50000;
  const auto dir = std::filesystem::temp_directory_path() /
                   ("sandbox-service-bench-" + std::to_string(::getpid()));
  ServiceConfig config;
  config.data_dir = dir;
  config.reset = true;
  int status = 0;
  {
    Service service(config);
    {
      // Enough balance for any number of calls.
      std::lock_guard lock(service.state().db_mutex);
      service.state().store.exec("UPDATE accounts SET balance = 1000000000000000");
    }
    auto session = service.open_session();
    if (session->login(LoginRequest{u"sms_app", u"tavik2024db", u"sms", u"bench", u""}).error) {
      std::fprintf(stderr, "login failed\n");
      return 1;
    }
    std::vector<RpcParam> params = {{u"", SqlValue::nvarchar(u"demo"), false},
                                    {u"", SqlValue::nvarchar(u"sub01"), false},
                                    {u"", SqlValue::nvarchar(u"0212345678"), false},
                                    {u"", SqlValue::nvarchar(u"C1"), false},
                                    {u"", SqlValue::nvarchar(u"이름"), false},
                                    {u"", SqlValue::nvarchar(u"01012345678"), false},
                                    {u"", SqlValue::nvarchar(u"benchmark message"), false},
                                    {u"", SqlValue::int32(0), false},
                                    {u"", SqlValue::nvarchar(u""), false},
                                    {u"", SqlValue::nvarchar(u""), false}};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
      if (session->call_rpc(u"sp_sms_send", params).error) {
        std::fprintf(stderr, "call %d failed\n", i);
        status = 1;
        break;
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("sp_sms_send: %d calls in %.3f s = %.0f calls/s\n", calls, seconds,
                calls / seconds);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
