// The S3 client's loop over libcurl's multi interface.
#include "s3/transfer_engine.h"

#include <algorithm>

#include "output_level.h"
#include "s3/s3_text.h"
#include "s3/sigv4.h"

namespace s3 {

namespace {

// An answer body larger than this (listings and error texts are far smaller) ends the transfer.
constexpr size_t kMaxAnswerBytes = 64 * kMiB;
constexpr long kMaxRetryDelayMs = 30000;
constexpr int kMaxDoublings = 16;
constexpr int kIdlePollMs = 1000;
// A 500 is tried once more only: stores answer it for requests they will never take (a key or
// metadata beyond their limits) as well as for passing faults, and the full schedule of retries
// would cost seconds per such object.
constexpr int kInternalErrorAttempts = 2;
constexpr long kInternalError = 500;

std::string trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

size_t on_answer_body(char* data, size_t size, size_t count, void* user) {
  auto* response = static_cast<Response*>(user);
  const size_t bytes = size * count;
  if (response->body.size() + bytes > kMaxAnswerBytes) return 0;
  response->body.append(data, bytes);
  return bytes;
}

size_t on_answer_header(char* data, size_t size, size_t count, void* user) {
  auto* response = static_cast<Response*>(user);
  const std::string_view line(data, size * count);
  // A status line starts the headers of a new answer (after "100 Continue", say).
  if (line.substr(0, 5) == "HTTP/") response->headers.clear();
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    response->headers.emplace_back(lower(trim(line.substr(0, colon))),
                                   trim(line.substr(colon + 1)));
  }
  return size * count;
}

bool has_header(const std::vector<std::string>& headers, std::string_view lower_name) {
  return std::any_of(headers.begin(), headers.end(), [&](const std::string& line) {
    return lower(line.substr(0, line.find(':'))) == lower_name;
  });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Response

bool Response::ok() const {
  // A multipart completion may answer 200 and report its failure in the body.
  return curl_code == CURLE_OK && status >= 200 && status < 300 &&
         body.find("<Error>") == std::string::npos;
}

bool Response::transient() const {
  switch (curl_code) {
    case CURLE_OK:
      return status >= 500;
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return true;
    default:
      return false;
  }
}

std::string Response::header(std::string_view lower_name) const {
  for (const auto& [name, value] : headers) {
    if (name == lower_name) return value;
  }
  return "";
}

std::string Response::error_code() const { return xml_text(body, "Code"); }

std::string Response::describe() const {
  if (status == 0) return "no answer (" + curl_error + ")";
  std::string text = "HTTP " + std::to_string(status);
  const std::string code = error_code();
  if (!code.empty()) text += " " + code;
  const std::string message = xml_text(body, "Message");
  if (!message.empty()) text += " (" + message + ")";
  if (curl_code != CURLE_OK) text += ", then " + curl_error;
  return text;
}

// ---------------------------------------------------------------------------------------------
// Reservation

Reservation::Reservation(Reservation&& other) noexcept
    : engine_(std::exchange(other.engine_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

Reservation& Reservation::operator=(Reservation&& other) noexcept {
  if (this != &other) {
    release();
    engine_ = std::exchange(other.engine_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void Reservation::release() {
  if (engine_ != nullptr) engine_->reserved_ -= bytes_;
  engine_ = nullptr;
  bytes_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Engine

struct Engine::Transfer {
  CURLM* multi = nullptr;
  std::unique_ptr<Exchange> exchange;
  EasyHandle easy;
  HeaderList headers;
  Response response;
  char error[CURL_ERROR_SIZE] = "";
  ~Transfer() {
    if (easy) curl_multi_remove_handle(multi, easy.get());
  }
};

Engine::Engine(const StoreOptions& options, const Credentials& credentials)
    : options_(options),
      credentials_(credentials),
      host_(authority_of(options.endpoint)) {
  static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (global != CURLE_OK) output_fatal(VL_COMMON, "Failed to initialise libcurl.\n");
  multi_.reset(curl_multi_init());
  if (!multi_) output_fatal(VL_COMMON, "Failed to initialise libcurl.\n");
}

Engine::~Engine() {
  running_.clear();
  queue_.clear();
  retrying_.clear();
}

void Engine::submit(std::unique_ptr<Exchange> exchange) {
  const auto limit = static_cast<size_t>(options_.max_in_flight);
  run_until([&] { return queue_.size() < limit; });
  enqueue(std::move(exchange));
  // The transfers move on while the caller reads the tape, not only when it waits.
  progress();
}

void Engine::enqueue(std::unique_ptr<Exchange> exchange) { queue_.push_back(std::move(exchange)); }

Response Engine::run(std::unique_ptr<Exchange> exchange) {
  Response answer;
  bool done = false;
  exchange->on_done = [&](const Response& response) {
    answer = response;
    done = true;
  };
  submit(std::move(exchange));
  run_until([&] { return done; });
  return answer;
}

void Engine::run_until(const std::function<bool()>& done) {
  // Nothing queued or on the wire can change anything: the condition waits on the caller.
  while (!done() && !idle()) step();
}

void Engine::drain() {
  run_until([] { return false; });
}

Reservation Engine::reserve(uint64_t bytes) {
  const uint64_t budget = memory_budget(options_);
  run_until([&] { return reserved_ == 0 || reserved_ + bytes <= budget; });
  reserved_ += bytes;
  return Reservation(this, bytes);
}

bool Engine::idle() const { return queue_.empty() && running_.empty() && retrying_.empty(); }

bool Engine::progress() {
  start_ready();
  int still_running = 0;
  curl_multi_perform(multi_.get(), &still_running);
  bool finished = false;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    finish_transfer(message->easy_handle, message->data.result);
    finished = true;
  }
  return finished;
}

void Engine::step() {
  if (!progress()) curl_multi_poll(multi_.get(), nullptr, 0, poll_timeout_ms(), nullptr);
}

int Engine::poll_timeout_ms() const {
  long wait = kIdlePollMs;
  const Clock::time_point now = Clock::now();
  for (const Waiting& waiting : retrying_) {
    const auto due =
        std::chrono::duration_cast<std::chrono::milliseconds>(waiting.due - now).count();
    wait = std::min<long>(wait, std::max<long>(due, 0));
  }
  return static_cast<int>(wait);
}

void Engine::start_ready() {
  const auto limit = static_cast<size_t>(options_.max_in_flight);
  const Clock::time_point now = Clock::now();
  // Retries first: each still holds its key.
  for (auto it = retrying_.begin(); it != retrying_.end() && running_.size() < limit;) {
    if (it->due > now) {
      ++it;
      continue;
    }
    std::unique_ptr<Exchange> exchange = std::move(it->exchange);
    it = retrying_.erase(it);
    start(std::move(exchange));
  }
  // Then the queue, oldest first; an exchange waits while one queued before it on its key does.
  std::unordered_set<std::string> blocked;
  for (auto it = queue_.begin(); it != queue_.end() && running_.size() < limit;) {
    const std::string& key = (*it)->order_key;
    if (!key.empty() && (busy_keys_.count(key) != 0 || blocked.count(key) != 0)) {
      blocked.insert(key);
      ++it;
      continue;
    }
    std::unique_ptr<Exchange> exchange = std::move(*it);
    it = queue_.erase(it);
    if (exchange->before_start && !exchange->before_start(*exchange)) continue;
    if (!key.empty()) busy_keys_.insert(exchange->order_key);
    start(std::move(exchange));
  }
}

namespace {

// Sets every option of one attempt. False when libcurl refuses one.
bool configure(CURL* easy, const Exchange& exchange, const StoreOptions& options,
               curl_slist* headers) {
  std::string url = options.endpoint;
  if (!url.empty() && url.back() == '/') url.pop_back();
  url += wire_path(exchange.path);
  if (!exchange.query.empty()) url += "?" + exchange.query;
  bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, options.connect_timeout_s) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, options.stall_timeout_s) == CURLE_OK;
  if (exchange.method == "HEAD") {
    ok = ok && curl_easy_setopt(easy, CURLOPT_NOBODY, 1L) == CURLE_OK;
  } else if (exchange.method == "PUT" || exchange.method == "POST") {
    ok = ok && curl_easy_setopt(easy, CURLOPT_POSTFIELDS, exchange.body.data()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                static_cast<curl_off_t>(exchange.body.size())) == CURLE_OK;
  }
  if (exchange.method != "GET" && exchange.method != "HEAD") {
    ok = ok && curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, exchange.method.c_str()) == CURLE_OK;
  }
  return ok;
}

}  // namespace

RequestHeaders Engine::signed_headers(const Exchange& exchange) const {
  SigningInput input;
  input.method = exchange.method;
  input.canonical_path = exchange.path;
  input.canonical_query = exchange.query;
  const std::string date = amz_date(std::time(nullptr));
  // Signed with the body unhashed: Content-MD5 carries the body's integrity.
  input.headers = {{"Host", host_}, {"x-amz-date", date},
                   {"x-amz-content-sha256", input.payload_hash}};
  if (!credentials_.session_token.empty()) {
    input.headers.emplace_back("x-amz-security-token", credentials_.session_token);
  }
  // A body sent without a type of its own is not labelled as form data (libcurl's default for
  // a body given in memory).
  const bool with_body = exchange.method == "PUT" || exchange.method == "POST";
  if (with_body && !has_header(exchange.headers, "content-type")) {
    input.headers.emplace_back("Content-Type", "application/octet-stream");
  }
  for (const std::string& line : exchange.headers) {
    const size_t colon = line.find(':');
    input.headers.emplace_back(line.substr(0, colon),
                               colon == std::string::npos ? "" : trim(line.substr(colon + 1)));
  }
  RequestHeaders headers = input.headers;
  headers.emplace_back("Authorization", authorization(input, credentials_, date));
  return headers;
}

void Engine::start(std::unique_ptr<Exchange> exchange) {
  auto transfer = std::make_unique<Transfer>();
  transfer->multi = multi_.get();
  transfer->easy.reset(curl_easy_init());
  ++exchange->attempts;
  bool ok = static_cast<bool>(transfer->easy);
  for (const auto& [name, value] : signed_headers(*exchange)) {
    // libcurl sends a header of no value only when it is written "Name;".
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    ok = ok && append_header(&transfer->headers, line.c_str());
  }
  CURL* easy = transfer->easy.get();
  ok = ok && configure(easy, *exchange, options_, transfer->headers.get());
  ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_answer_body) == CURLE_OK &&
       curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer->response) == CURLE_OK &&
       curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_answer_header) == CURLE_OK &&
       curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer->response) == CURLE_OK &&
       curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->error) == CURLE_OK;
  if (!ok || curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
    transfer->easy.reset();
    output_fatal(VL_COMMON, "Failed to set up a request to the S3 store.\n");
  }
  transfer->exchange = std::move(exchange);
  running_.emplace(easy, std::move(transfer));
}

void Engine::finish_transfer(CURL* easy, CURLcode code) {
  const auto found = running_.find(easy);
  if (found == running_.end()) return;
  std::unique_ptr<Transfer> transfer = std::move(found->second);
  running_.erase(found);
  Response response = std::move(transfer->response);
  response.curl_code = code;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
  if (code != CURLE_OK) {
    response.curl_error = transfer->error[0] != '\0' ? transfer->error : curl_easy_strerror(code);
  }
  std::unique_ptr<Exchange> exchange = std::move(transfer->exchange);
  transfer.reset();
  int max_attempts = exchange->max_attempts > 0 ? exchange->max_attempts : options_.max_attempts;
  if (response.status == kInternalError) {
    max_attempts = std::min(max_attempts, kInternalErrorAttempts);
  }
  if (response.transient() && exchange->attempts < max_attempts) {
    const int doublings = std::min(exchange->attempts - 1, kMaxDoublings);
    const long delay = std::min(kMaxRetryDelayMs, options_.first_retry_delay_ms << doublings);
    retrying_.push_back({Clock::now() + std::chrono::milliseconds(delay), std::move(exchange)});
    return;
  }
  end(std::move(exchange), response);
}

void Engine::end(std::unique_ptr<Exchange> exchange, const Response& response) {
  if (!exchange->order_key.empty()) busy_keys_.erase(exchange->order_key);
  if (exchange->on_done) exchange->on_done(response);
}

}  // namespace s3
