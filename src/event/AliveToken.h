#pragma once
// A weak-self token: an object that hands callbacks to the loop or to other objects holds one,
// and those callbacks check it before touching the object, so a callback that runs after the
// object is gone does nothing.
//
//   class Poller {
//     void Later() { loop_.Post(alive_.Guard([this] { Step(); })); }
//     AliveToken alive_;  // a member: it expires when the object is destroyed
//   };
#include <memory>
#include <utility>

namespace kov {

class AliveToken {
 public:
  // Whether the holder of the token it was taken from still exists.
  class Watch {
   public:
    bool Alive() const { return !token_.expired(); }

   private:
    friend class AliveToken;
    explicit Watch(std::weak_ptr<const int> token) : token_(std::move(token)) {}
    std::weak_ptr<const int> token_;
  };

  AliveToken() = default;
  // A copy of an object is another object: it gets a token of its own.
  AliveToken(const AliveToken&) : AliveToken() {}
  AliveToken& operator=(const AliveToken&) { return *this; }

  Watch Observe() const { return Watch(token_); }

  // fn wrapped so that it runs only while the holder exists; its result is dropped.
  template <typename Fn>
  auto Guard(Fn fn) const {
    return [watch = Observe(), fn = std::move(fn)](auto&&... args) {
      if (watch.Alive()) fn(std::forward<decltype(args)>(args)...);
    };
  }

 private:
  std::shared_ptr<const int> token_ = std::make_shared<const int>(0);
};

}  // namespace kov
