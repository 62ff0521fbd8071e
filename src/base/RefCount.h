#pragma once

#include <cstdint>
#include <utility>

// Intrusive reference counting. The count is a plain integer: a counted
// object and all handles to it belong to one thread at a time.
class IRCBase {
public:
    std::int32_t refCount() const { return count_; }

protected:
    std::int32_t count_ = 0;  // 0 while the object is being built
};

template <class T>
class InternalReferenceCount : public IRCBase {
public:
    void AddRef() noexcept { ++count_; }
    // Destroys the object through T's virtual destructor when the last
    // reference goes.
    void Release() noexcept {
        if (--count_ == 0) delete static_cast<T*>(this);
    }
};

// The polymorphic counted base.
class InternalReferenceCount_virtual
    : public InternalReferenceCount<InternalReferenceCount_virtual> {
public:
    InternalReferenceCount_virtual() = default;
    InternalReferenceCount_virtual(const InternalReferenceCount_virtual&) = delete;
    InternalReferenceCount_virtual& operator=(const InternalReferenceCount_virtual&) = delete;
    virtual ~InternalReferenceCount_virtual() = default;
};

// Counted handle to any T derived from InternalReferenceCount_virtual.
// Constructing from a raw pointer takes a reference; copying takes one;
// moving does not change the count; destruction releases.
template <class T>
class Counted {
public:
    Counted() = default;
    Counted(T* p) : p_(p) { acquire(); }  // NOLINT: implicit on purpose
    Counted(const Counted& o) : p_(o.p_) { acquire(); }
    Counted(Counted&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    Counted(const Counted<U>& o) : p_(o.get()) { acquire(); }
    ~Counted() { reset(); }

    Counted& operator=(Counted o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) base(p)->Release();
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    static InternalReferenceCount_virtual* base(T* p) { return p; }
    void acquire() {
        if (p_) base(p_)->AddRef();
    }
    T* p_ = nullptr;
};
