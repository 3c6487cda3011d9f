// The framed snapshot body of the current catalog version, built once per version: building it
// runs nine catalog queries, which at ten thousand tables takes seconds.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <map>
#include <string>
#include <utility>

#include "localsvc/content_coding.h"

namespace nv_localsvc {

class SnapshotCache {
 public:
  using Body = std::shared_ptr<const std::string>;

  /// What a build made: the framed body, and whether it may be served again (a body that
  /// reports a failure in an ERROR frame is not kept).
  struct Built {
    Body body;
    bool keep = true;
  };

  /// The body for catalog version `sequence`: the one kept for it, the one another request is
  /// building for it (waited for), or a new one made by `build` on this thread. An exception
  /// from `build` reaches this caller and the requests that waited for it; nothing is kept.
  Body get(uint64_t sequence, const std::function<Built()>& build);

  /// `body` in `coding` (the body itself for identity), compressed once per body and coding.
  Body coded(const Body& body, Coding coding);

 private:
  std::mutex coded_mu_;  // held while compressing: concurrent first requests wait for one
  std::map<Coding, std::pair<Body, Body>> coded_;  // coding -> {plain body, coded body}

  std::mutex mu_;
  bool have_ = false;      // a body is kept (or being built) for sequence_
  uint64_t sequence_ = 0;
  uint64_t builds_ = 0;    // numbers the builds that may be kept; the last one is body_'s
  std::shared_future<Body> body_;
};

}  // namespace nv_localsvc
