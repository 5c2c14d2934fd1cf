// HTTPS GET over libcurl's easy interface: each request runs to its end on a worker thread of its
// own, bounded by its timeout and body limit, and the fetcher's destructor stops and joins them.
// The worker list is guarded by `mutex_`; a transfer's state belongs to its worker thread.
#include "platform/linux/https/https_fetcher.h"

#include <curl/curl.h>

#include <mutex>
#include <system_error>
#include <utility>

namespace trellis::lnx {
namespace {

// curl_global_init must run once, before any transfer, and the process keeps it to the end.
bool curlReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ready;
}

struct Transfer {
  std::string body;
  std::size_t maxBodyBytes = 0;
  const std::atomic<bool>* stopping = nullptr;
};

std::size_t onData(char* data, std::size_t size, std::size_t count, void* userdata) {
  auto* transfer = static_cast<Transfer*>(userdata);
  const std::size_t n = size * count;
  // Returning less than was given ends the transfer with an error.
  if (n > transfer->maxBodyBytes - transfer->body.size()) return 0;
  transfer->body.append(data, n);
  return n;
}

// Called about once a second even while nothing moves, so a stopping fetcher is noticed soon.
int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(userdata)->stopping->load() ? 1 : 0;
}

struct EasyCleanup {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

std::optional<std::string> fetch(const std::string& url, HttpsFetcher::Limits limits, const std::string& caFile,
                                 const std::atomic<bool>& stopping) {
  // A zero timeout would mean none at all to libcurl.
  if (limits.timeout.count() <= 0 || !curlReady()) return std::nullopt;
  std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
  if (!curl) return std::nullopt;
  Transfer transfer;
  transfer.maxBodyBytes = limits.maxBodyBytes;
  transfer.stopping = &stopping;

  CURL* c = curl.get();
  bool ok = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_MAXREDIRS, 3L) == CURLE_OK &&
            // Signals cannot time out a transfer on a worker thread; the resolver is threaded.
            curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.timeout.count())) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes)) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_USERAGENT, "trellis/" TRELLIS_VERSION) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onData) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  if (ok && !caFile.empty()) {
    // Only this file: the system's folder of certificates is not consulted either.
    ok = curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str()) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_CAPATH, nullptr) == CURLE_OK;
  }
  if (!ok || curl_easy_perform(c) != CURLE_OK) return std::nullopt;
  long status = 0;
  if (curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status < 200 || status > 299) {
    return std::nullopt;
  }
  return std::move(transfer.body);
}

}  // namespace

CurlHttpsFetcher::CurlHttpsFetcher() : CurlHttpsFetcher(Options{}) {}

CurlHttpsFetcher::CurlHttpsFetcher(Options options) : options_(std::move(options)) {}

CurlHttpsFetcher::~CurlHttpsFetcher() {
  stopping_.store(true);
  std::list<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  // Joined without the lock: a completion may still ask this fetcher for another request.
  for (Worker& worker : workers) worker.thread.join();
}

void CurlHttpsFetcher::reapFinished() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done.load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void CurlHttpsFetcher::get(const std::string& url, Limits limits, Completion completion) {
  // Shared so that a thread that cannot be started leaves the completion with us.
  auto shared = std::make_shared<Completion>(std::move(completion));
  bool started = false;
  if (!stopping_.load()) {
    std::lock_guard<std::mutex> lock(mutex_);
    reapFinished();
    Worker& worker = workers_.emplace_back();
    try {
      worker.thread = std::thread([this, &worker, url, limits, shared] {
        std::optional<std::string> body = fetch(url, limits, options_.caFile, stopping_);
        if (stopping_.load()) body.reset();
        if (*shared) (*shared)(std::move(body));
        worker.done.store(true);
      });
      started = true;
    } catch (const std::system_error&) {
      workers_.pop_back();
    }
  }
  if (!started && *shared) (*shared)(std::nullopt);
}

}  // namespace trellis::lnx

