// The body of one object version on its way to the store: one PUT, a multipart upload whose
// parts leave as they fill, or a delete marker.
#include <algorithm>

#include "output_level.h"
#include "s3/store.h"
#include "support/printable.h"

namespace s3 {

struct ObjectUpload::State {
  enum class Kind { kMarker, kSinglePut, kMultipart };

  Store* store = nullptr;
  std::string bucket;
  std::string what;  // names the object in messages
  ObjectRequest request;
  Completion done;
  Kind kind = Kind::kSinglePut;
  bool finished = false;
  uint64_t received = 0;
  std::string refused;      // why the body cannot be stored, found while it arrived
  std::string buffer;       // the whole body of a single PUT, or the part being filled
  Reservation reservation;  // the budget held by `buffer`
  // Multipart upload.
  uint64_t part_size = 0;
  bool created = false;  // the upload's creation has been answered
  std::string upload_id;
  std::string failure;  // the first failed request of the upload
  size_t pending_parts = 0;
  std::vector<std::string> etags;  // by part number - 1

  Engine& engine() const { return store->engine_; }
  std::string path() const { return object_path(bucket, request.key); }
  void drop_buffer() {
    buffer = std::string();
    reservation.release();
  }
};

namespace {

using State = ObjectUpload::State;

std::vector<std::string> header_lines(const ObjectRequest& request) {
  std::vector<std::string> lines;
  for (const auto& [name, value] : request.headers) lines.push_back(name + ": " + value);
  return lines;
}

void create_multipart(const std::shared_ptr<State>& state) {
  auto request = std::make_unique<Exchange>();
  request->method = "POST";
  request->path = state->path();
  request->query = canonical_query({{"uploads", ""}});
  request->headers = header_lines(state->request);
  request->on_done = [state](const Response& answer) {
    state->created = true;
    if (answer.ok()) state->upload_id = xml_text(answer.body, "UploadId");
    if (!answer.ok()) {
      state->failure = "starting a multipart upload: " + answer.describe();
    } else if (state->upload_id.empty()) {
      state->failure = "the store gave no upload identifier";
    }
  };
  state->engine().submit(std::move(request));
}

void send_part(const std::shared_ptr<State>& state) {
  State& s = *state;
  s.engine().run_until([&] { return s.created; });
  if (!s.failure.empty() || !s.created) {
    s.drop_buffer();
    return;
  }
  s.etags.emplace_back();
  const size_t number = s.etags.size();
  auto request = std::make_unique<Exchange>();
  request->method = "PUT";
  request->path = s.path();
  request->query =
      canonical_query({{"partNumber", std::to_string(number)}, {"uploadId", s.upload_id}});
  request->headers = {content_md5_header(md5_of(s.buffer))};
  request->body = std::move(s.buffer);
  request->reservation = std::move(s.reservation);
  s.drop_buffer();
  request->on_done = [state, number](const Response& answer) {
    --state->pending_parts;
    if (answer.ok()) {
      state->etags[number - 1] = answer.header("etag");
    } else if (state->failure.empty()) {
      state->failure = "part " + std::to_string(number) + ": " + answer.describe();
    }
  };
  ++s.pending_parts;
  s.engine().submit(std::move(request));
}

// Appends to the part being filled, and sends each part that fills up.
void write_parts(const std::shared_ptr<State>& state, std::span<const uint8_t> bytes) {
  State& s = *state;
  uint64_t offset = s.received - bytes.size();
  while (!bytes.empty()) {
    if (s.buffer.empty()) {
      const uint64_t part_bytes = std::min(s.part_size, s.request.size - offset);
      s.reservation = s.engine().reserve(part_bytes);
      s.buffer.reserve(part_bytes);
    }
    const size_t take = std::min<uint64_t>(bytes.size(), s.part_size - s.buffer.size());
    s.buffer.append(reinterpret_cast<const char*>(bytes.data()), take);
    bytes = bytes.subspan(take);
    offset += take;
    if (s.buffer.size() == s.part_size) send_part(state);
  }
}

void abort_multipart(State& s) {
  s.engine().run_until([&] { return s.created; });
  if (s.upload_id.empty()) return;
  auto request = std::make_unique<Exchange>();
  request->method = "DELETE";
  request->path = s.path();
  request->query = canonical_query({{"uploadId", s.upload_id}});
  request->on_done = [what = s.what](const Response& answer) {
    if (answer.ok()) return;
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "Failed to abort the multipart upload of the object(%s) in the S3 store: "
                       "%s.\n",
                       what.c_str(), printable(answer.describe()).c_str());
  };
  s.engine().submit(std::move(request));
}

std::string completion_xml(const std::vector<std::string>& etags) {
  std::string xml = "<CompleteMultipartUpload>";
  for (size_t i = 0; i < etags.size(); ++i) {
    xml += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" +
           xml_escape(etags[i]) + "</ETag></Part>";
  }
  return xml + "</CompleteMultipartUpload>";
}

// Why a complete body cannot be stored, "" when it can.
std::string body_problem(const State& s, const Md5& md5) {
  if (!s.refused.empty()) return s.refused;
  if (s.received != s.request.size) {
    return "its body has " + std::to_string(s.received) + " bytes, its \"Size\" " +
           std::to_string(s.request.size);
  }
  if (s.request.expected_md5 && *s.request.expected_md5 != md5) {
    return "the MD5 of its body, " + hex_encode(md5) + ", differs from its \"ContentMd5\", " +
           hex_encode(*s.request.expected_md5);
  }
  return "";
}

}  // namespace

ObjectUpload Store::begin_object(std::string_view tape_bucket, const ObjectRequest& request,
                                 Completion done) {
  auto state = std::make_shared<State>();
  state->store = this;
  state->bucket = bucket_name(tape_bucket);
  state->what = describe_object(state->bucket, request);
  state->request = request;
  state->done = std::move(done);
  if (!request.error.empty()) {
    fail(state->what, request.error, state->done);
    return ObjectUpload();
  }
  if (request.delete_marker) {
    state->kind = State::Kind::kMarker;
  } else if (request.size > single_put_limit(options_)) {
    state->kind = State::Kind::kMultipart;
    state->part_size = part_size_for(options_, request.size);
    create_multipart(state);
  } else {
    state->reservation = engine_.reserve(request.size);
    state->buffer.reserve(request.size);
  }
  return ObjectUpload(std::move(state));
}

bool Store::put_object(std::string_view tape_bucket, const ObjectRequest& request,
                       std::span<const uint8_t> body, Completion done) {
  ObjectUpload upload = begin_object(tape_bucket, request, std::move(done));
  upload.write(body);
  return upload.finish(md5_of(body));
}

ObjectUpload& ObjectUpload::operator=(ObjectUpload&& other) noexcept {
  if (this != &other) {
    abandon();
    state_ = std::move(other.state_);
  }
  return *this;
}

ObjectUpload::~ObjectUpload() { abandon(); }

void ObjectUpload::abandon() {
  if (!state_ || state_->finished) return;
  state_->finished = true;
  state_->drop_buffer();
  if (state_->kind == State::Kind::kMultipart) abort_multipart(*state_);
}

void ObjectUpload::write(std::span<const uint8_t> bytes) {
  if (!state_ || state_->finished) return;
  State& s = *state_;
  s.received += bytes.size();
  if (s.kind == State::Kind::kMarker || !s.refused.empty()) return;
  if (s.received > s.request.size) {
    s.refused = "its body is longer than its \"Size\", " + std::to_string(s.request.size);
    s.drop_buffer();
  } else if (s.kind == State::Kind::kSinglePut) {
    s.buffer.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } else {
    write_parts(state_, bytes);
  }
}

bool ObjectUpload::finish(const Md5& md5) {
  if (!state_ || state_->finished) return false;
  const std::shared_ptr<State> state = state_;
  State& s = *state;
  s.finished = true;
  auto request = std::make_unique<Exchange>();
  request->path = s.path();
  if (s.kind == State::Kind::kMarker) {
    request->method = "DELETE";
    s.store->send_version(std::move(request), s.bucket, s.request, s.what, s.done);
    return true;
  }
  std::string problem = body_problem(s, md5);
  if (s.kind == State::Kind::kMultipart) {
    if (problem.empty() && !s.buffer.empty()) send_part(state);
    s.drop_buffer();
    s.engine().run_until([&] { return s.created && s.pending_parts == 0; });
    if (problem.empty()) problem = s.failure;
  }
  if (!problem.empty()) {
    s.drop_buffer();
    if (s.kind == State::Kind::kMultipart) abort_multipart(s);
    s.store->fail(s.what, problem, s.done);
    return false;
  }
  if (s.kind == State::Kind::kMultipart) {
    request->method = "POST";
    request->query = canonical_query({{"uploadId", s.upload_id}});
    request->body = completion_xml(s.etags);
  } else {
    request->method = "PUT";
    request->headers = header_lines(s.request);
    request->headers.push_back(content_md5_header(md5));
    request->body = std::move(s.buffer);
    request->reservation = std::move(s.reservation);
    s.drop_buffer();
  }
  s.store->send_version(std::move(request), s.bucket, s.request, s.what, s.done);
  return true;
}

}  // namespace s3
