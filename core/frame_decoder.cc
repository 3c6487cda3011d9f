// Incremental decoder of the framed stream: turns arbitrarily split body chunks into whole
// frames. A frame lying whole inside a chunk goes to the handler in place; only frames split
// across chunks are assembled, in a pending buffer reserved to the full frame size as soon as
// the header is known.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <arrow/buffer.h>
#include <arrow/memory_pool.h>

#include "core/frame_decoder_internal.h"

struct NVFrameDecoder {
  NVFrameHandler handler = nullptr;
  void* user = nullptr;
  // Bytes of an unfinished frame; `pending_size` of them are filled. Null until first needed
  // and again after a handler took the assembled frame over.
  std::shared_ptr<arrow::ResizableBuffer> pending;
  size_t pending_size = 0;
  // The frame being handled from `pending`, so that the handler may take it over.
  bool in_pending_call = false;
};

namespace norvale {
namespace {

constexpr size_t kHeader = NV_FRAME_HEADER_SIZE;

void clear_pending(NVFrameDecoder* d) { d->pending_size = 0; }

// Makes room for at least `capacity` bytes while keeping the filled ones.
bool reserve_pending(NVFrameDecoder* d, size_t capacity) {
  if (d->pending == nullptr) {
    auto made = arrow::AllocateResizableBuffer(0);
    if (!made.ok()) return false;
    d->pending = std::shared_ptr<arrow::ResizableBuffer>(std::move(made).ValueUnsafe());
  }
  if (static_cast<size_t>(d->pending->capacity()) >= capacity) return true;
  return d->pending->Reserve(static_cast<int64_t>(capacity)).ok();
}

bool append_pending(NVFrameDecoder* d, const uint8_t* bytes, size_t n) {
  if (!reserve_pending(d, d->pending_size + n)) return false;
  std::memcpy(d->pending->mutable_data() + d->pending_size, bytes, n);
  d->pending_size += n;
  return true;
}

int call_handler(NVFrameDecoder* d, const uint8_t* frame, uint32_t len) {
  if (d->handler == nullptr) return 0;
  return d->handler(frame[0], frame_read_u16(frame + 2), frame + kHeader, len, d->user);
}

int feed(NVFrameDecoder* d, const uint8_t* data, size_t len) {
  while (len > 0) {
    if (d->pending_size == 0) {
      if (len < kHeader) return append_pending(d, data, len) ? 0 : -1;
      const uint32_t payload = frame_read_u32(data + 4);
      if (payload > NV_FRAME_MAX_PAYLOAD) return -1;
      const size_t frame = kHeader + payload;
      if (len < frame) {
        if (!reserve_pending(d, frame)) return -1;
        return append_pending(d, data, len) ? 0 : -1;
      }
      const int rc = call_handler(d, data, payload);
      if (rc != 0) return rc;
      data += frame;
      len -= frame;
      continue;
    }

    if (d->pending_size < kHeader) {
      const size_t take = std::min(kHeader - d->pending_size, len);
      if (!append_pending(d, data, take)) {
        clear_pending(d);
        return -1;
      }
      data += take;
      len -= take;
      if (d->pending_size < kHeader) return 0;
    }
    const uint32_t payload = frame_read_u32(d->pending->data() + 4);
    if (payload > NV_FRAME_MAX_PAYLOAD) {
      clear_pending(d);
      return -1;
    }
    const size_t frame = kHeader + payload;
    const size_t take = std::min(len, frame - d->pending_size);
    if (!reserve_pending(d, frame) || !append_pending(d, data, take)) {
      clear_pending(d);
      return -1;
    }
    data += take;
    len -= take;
    if (d->pending_size < frame) return 0;

    d->in_pending_call = true;
    const int rc = call_handler(d, d->pending->data(), payload);
    d->in_pending_call = false;
    clear_pending(d);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

std::shared_ptr<arrow::Buffer> frame_decoder_take_payload(NVFrameDecoder* decoder,
                                                          const uint8_t* payload, size_t len) {
  if (decoder == nullptr || !decoder->in_pending_call || decoder->pending == nullptr) {
    return nullptr;
  }
  const uint8_t* start = decoder->pending->data();
  if (payload < start || payload + len > start + decoder->pending_size) return nullptr;
  std::shared_ptr<arrow::Buffer> whole = std::move(decoder->pending);
  decoder->pending = nullptr;
  return arrow::SliceBuffer(std::move(whole), payload - start, static_cast<int64_t>(len));
}

}  // namespace norvale

extern "C" {

NVFrameDecoder* nv_frame_create(NVFrameHandler handler, void* user) {
  auto* d = new (std::nothrow) NVFrameDecoder;
  if (d == nullptr) return nullptr;
  d->handler = handler;
  d->user = user;
  return d;
}

int nv_frame_feed(NVFrameDecoder* decoder, const void* data, size_t len) {
  if (decoder == nullptr || data == nullptr || len == 0) return 0;
  try {
    return norvale::feed(decoder, static_cast<const uint8_t*>(data), len);
  } catch (...) {
    // Only allocation can throw here; the frame cannot be assembled.
    decoder->in_pending_call = false;
    norvale::clear_pending(decoder);
    return -1;
  }
}

int nv_frame_at_clean_boundary(const NVFrameDecoder* decoder) {
  return decoder != nullptr && decoder->pending_size > 0 ? 1 : 0;
}

void nv_frame_destroy(NVFrameDecoder* decoder) { delete decoder; }

}  // extern "C"
