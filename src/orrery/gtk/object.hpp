// Owning references to GObjects: a Ref holds one reference and drops it when it goes, so no path forgets an unref.
#pragma once

#include <glib-object.h>

#include <utility>

namespace orrery::gtk {

template <class T>
class Ref {
 public:
  Ref() = default;
  // Takes over a reference the caller owns (a *_new of a non-floating object, or a g_object_ref).
  static Ref adopt(T* p) { return Ref(p); }
  // Adds a reference of our own, sinking a floating one.
  static Ref share(T* p) {
    if (p) g_object_ref_sink(G_OBJECT(p));
    return Ref(p);
  }
  Ref(const Ref& o) : p_(o.p_) {
    if (p_) g_object_ref(G_OBJECT(p_));
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_) g_object_unref(G_OBJECT(p_));
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives the reference to the caller.
  T* release() { return std::exchange(p_, nullptr); }

 private:
  explicit Ref(T* p) : p_(p) {}
  T* p_ = nullptr;
};

}  // namespace orrery::gtk
