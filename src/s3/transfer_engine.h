// The S3 client's one loop: requests signed with AWS Signature Version 4, several on the wire at
// once through libcurl's multi interface on the caller's thread, transient failures retried
// with backoff, requests on one key kept in the order they were queued, and the bodies held in
// memory kept within a budget.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "s3/curl_handles.h"
#include "s3/s3_config.h"
#include "s3/sigv4.h"

namespace s3 {

// The answer to one request, after its last attempt.
struct Response {
  long status = 0;                // HTTP status; 0 when no answer came
  CURLcode curl_code = CURLE_OK;  // the transfer's own failure
  std::string curl_error;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case

  bool ok() const;
  // Worth another try: 5xx, a timeout, a reset or a connection that failed.
  bool transient() const;
  std::string header(std::string_view lower_name) const;
  // The store's error code (<Code> of an error body), "" when there is none.
  std::string error_code() const;
  // "HTTP 400 BadDigest (message)" or "no answer: <curl's words>".
  std::string describe() const;
};

class Engine;

// Bytes of a body counted against the engine's budget until the reservation goes away.
class Reservation {
 public:
  Reservation() = default;
  Reservation(Engine* engine, uint64_t bytes) : engine_(engine), bytes_(bytes) {}
  Reservation(Reservation&& other) noexcept;
  Reservation& operator=(Reservation&& other) noexcept;
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;
  ~Reservation() { release(); }
  void release();

 private:
  Engine* engine_ = nullptr;
  uint64_t bytes_ = 0;
};

// One request, tried again as a whole after a transient failure.
struct Exchange {
  std::string method = "GET";        // GET, HEAD, PUT, POST or DELETE
  std::string path;                  // URI-encoded: /bucket or /bucket/key
  std::string query;                 // canonical (see canonical_query), may be empty
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  Reservation reservation;  // the budget held by `body`
  // Exchanges with the same non-empty key run one after another, in the order queued.
  std::string order_key;
  // Called just before the first attempt; returning false drops the exchange unsent (its
  // on_done is not called).
  std::function<bool(Exchange&)> before_start;
  // Called once with the final answer.
  std::function<void(const Response&)> on_done;
  int max_attempts = 0;  // 0: the options' number
  int attempts = 0;      // kept by the engine
};

class Engine {
 public:
  Engine(const StoreOptions& options, const Credentials& credentials);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Queues an exchange, first waiting (and driving the transfers) while max_in_flight wait.
  void submit(std::unique_ptr<Exchange> exchange);
  // Queues an exchange without waiting: for on_done callbacks, which must not block.
  void enqueue(std::unique_ptr<Exchange> exchange);
  // Sends one exchange and waits for its answer; the others go on meanwhile.
  Response run(std::unique_ptr<Exchange> exchange);
  // Drives the transfers until `done` holds.
  void run_until(const std::function<bool()>& done);
  // Waits until every queued exchange has ended.
  void drain();
  // Takes `bytes` of the memory budget, waiting for bodies in flight to end first. A
  // reservation larger than the whole budget is granted once nothing else is held.
  Reservation reserve(uint64_t bytes);

 private:
  friend class Reservation;
  struct Transfer;
  using Clock = std::chrono::steady_clock;
  struct Waiting {
    Clock::time_point due;
    std::unique_ptr<Exchange> exchange;
  };

  bool idle() const;
  // Starts what may start and moves the transfers on, without waiting. True when one ended.
  bool progress();
  // The same, then waits for the network when none ended.
  void step();
  void start_ready();
  void start(std::unique_ptr<Exchange> exchange);
  void finish_transfer(CURL* easy, CURLcode code);
  void end(std::unique_ptr<Exchange> exchange, const Response& response);
  int poll_timeout_ms() const;
  // The headers of one attempt of `exchange`, each signed, and the Authorization that signs them.
  RequestHeaders signed_headers(const Exchange& exchange) const;

  StoreOptions options_;
  Credentials credentials_;
  std::string host_;  // the endpoint's host and port, as the Host header names them
  MultiHandle multi_;
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> running_;
  std::deque<std::unique_ptr<Exchange>> queue_;
  std::vector<Waiting> retrying_;
  std::unordered_set<std::string> busy_keys_;
  uint64_t reserved_ = 0;
};

}  // namespace s3
