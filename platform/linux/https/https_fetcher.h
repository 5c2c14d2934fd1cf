// HTTPS GET over libcurl, one worker thread per request. `get` may be called from any thread; each
// completion runs on its request's worker thread. Destroying the fetcher aborts the requests still
// running (their completions get nothing) and waits for every worker thread to end.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "metrics/network_source.h"

namespace trellis::lnx {

class CurlHttpsFetcher final : public HttpsFetcher {
 public:
  struct Options {
    // A PEM file of the certificates to trust instead of the system's store; empty for the
    // system's. A lookup service with a private certificate authority (or a test's self-signed
    // server) is trusted only through this.
    std::string caFile;
  };

  CurlHttpsFetcher();
  explicit CurlHttpsFetcher(Options options);
  ~CurlHttpsFetcher() override;
  CurlHttpsFetcher(const CurlHttpsFetcher&) = delete;
  CurlHttpsFetcher& operator=(const CurlHttpsFetcher&) = delete;

  // Only https URLs are fetched (redirects too, at most 3); the peer's certificate and name are
  // verified; proxies named in the environment (https_proxy, no_proxy) are used. A status outside
  // 200..299, a body over the limit (announced or received) or no complete reply within the
  // timeout fails the request. When no worker thread can be started, `completion` runs at once on
  // the calling thread, with nothing.
  void get(const std::string& url, Limits limits, Completion completion) override;

 private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  // Joins the workers that have finished; the caller holds `mutex_`.
  void reapFinished();

  Options options_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::list<Worker> workers_;
};

}  // namespace trellis::lnx
