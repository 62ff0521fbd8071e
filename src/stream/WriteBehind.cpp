#include "stream/WriteBehind.h"

namespace Stream {

WriteBehind::WriteBehind(std::size_t batchBytes, std::size_t batches)
    : batchBytes_(batchBytes), batches_(batches < 1 ? 1 : batches) {}

void WriteBehind::open(std::unique_ptr<iTarget> target, std::int64_t position) {
    target_ = std::move(target);
    position_ = position;
}

void WriteBehind::attach(std::function<void()> wake) {
    std::lock_guard l(lock_);
    wake_ = std::move(wake);
    served_ = true;
    if (!queue_.empty()) pending_ = true;
}

void WriteBehind::detach() {
    std::lock_guard l(lock_);
    wake_ = nullptr;
    served_ = false;
    changed_.notify_all();
}

bool WriteBehind::direct() {
    if (served_.load(std::memory_order_acquire) || !open_.ops.empty()) return false;
    std::lock_guard l(lock_);
    if (error_) std::rethrow_exception(error_);
    return !busy_ && queue_.empty();
}

std::int64_t WriteBehind::tell() {
    std::lock_guard l(lock_);
    if (error_) std::rethrow_exception(error_);
    return position_;
}

void WriteBehind::carryOut(Batch& b) {
    for (const Op& op : b.ops) {
        if (op.seekTo >= 0) target_->seekTo(op.seekTo);
        if (!op.length) continue;
        const std::uint8_t* bytes =
            op.taken ? b.taken[op.offset].data() : b.bytes.data() + op.offset;
        target_->write(bytes, bytes + op.length, false);
    }
}

void WriteBehind::recycle(Batch& b) {
    b.ops.clear();
    b.bytes.clear();
    for (std::vector<std::uint8_t>& v : b.taken)
        if (spareTaken_.size() <= batches_) spareTaken_.push_back(std::move(v));
    b.taken.clear();
    if (spare_.size() < batches_) spare_.push_back(std::move(b));
}

void WriteBehind::carryOutUnlocked(std::unique_lock<std::mutex>& l, Batch& b) {
    busy_ = true;
    l.unlock();
    std::exception_ptr e;
    try {
        carryOut(b);
    } catch (...) {
        e = std::current_exception();
    }
    l.lock();
    busy_ = false;
    if (e) {
        // What is queued would land after a gap: it is dropped with the error.
        error_ = e;
        queue_.clear();
        pending_ = false;
    }
    recycle(b);
    changed_.notify_all();
}

void WriteBehind::step() {
    std::unique_lock l(lock_);
    // The writer may be carrying out a batch itself: one at a time, in order.
    changed_.wait(l, [&] { return !busy_; });
    if (queue_.empty() || error_) {
        pending_ = false;
        return;
    }
    Batch b = std::move(queue_.front());
    queue_.pop_front();
    pending_ = !queue_.empty();
    carryOutUnlocked(l, b);
    ++steps_;
}

std::exception_ptr WriteBehind::failure() const {
    std::lock_guard l(lock_);
    return error_;
}

void WriteBehind::drainHere(std::unique_lock<std::mutex>& l) {
    changed_.wait(l, [&] { return !busy_; });
    while (!error_ && !queue_.empty()) {
        Batch b = std::move(queue_.front());
        queue_.pop_front();
        carryOutUnlocked(l, b);
    }
    pending_ = false;
    if (error_) std::rethrow_exception(error_);
}

void WriteBehind::hand(bool all) {
    std::unique_lock l(lock_);
    if (error_) std::rethrow_exception(error_);
    if (!open_.ops.empty()) {
        // A full queue: the task is behind, so this thread carries out the oldest batch itself
        // when the task is not at one (the halves balance themselves).
        while (wake_ && !error_ && queue_.size() >= batches_) {
            if (busy_) {
                changed_.wait(l);
                continue;
            }
            Batch b = std::move(queue_.front());
            queue_.pop_front();
            pending_ = !queue_.empty();
            carryOutUnlocked(l, b);
        }
        if (error_) std::rethrow_exception(error_);
        queue_.push_back(std::move(open_));
        open_ = Batch{};
        if (!spare_.empty()) {
            open_ = std::move(spare_.back());
            spare_.pop_back();
        }
        if (wake_) {
            pending_ = true;
            wake_();
        }
    }
    if (!wake_) {
        drainHere(l);
        return;
    }
    if (!all) return;
    changed_.wait(l, [&] { return !wake_ || error_ || (queue_.empty() && !busy_); });
    if (!wake_) drainHere(l);
    if (error_) std::rethrow_exception(error_);
}

void WriteBehind::seek(std::int64_t position) {
    if (direct())
        target_->seekTo(position);
    else
        open_.ops.push_back(Op{position, open_.bytes.size(), 0});
    position_ = position;
}

void WriteBehind::write(const std::uint8_t* begin, std::size_t n, bool zeros) {
    if (direct()) {
        target_->write(begin, begin + n, zeros);
        position_ += static_cast<std::int64_t>(n);
        return;
    }
    if (open_.ops.empty()) open_.ops.push_back(Op{-1, open_.bytes.size(), 0});
    // Appended without zeroing the room first (a resize would, and every byte was then written
    // twice).
    if (zeros)
        open_.bytes.resize(open_.bytes.size() + n);
    else
        open_.bytes.insert(open_.bytes.end(), begin, begin + n);
    open_.ops.back().length += n;
    position_ += static_cast<std::int64_t>(n);
    if (open_.bytes.size() >= batchBytes_) hand(false);
}

void WriteBehind::writeTaking(std::vector<std::uint8_t>& bytes, std::size_t n) {
    if (direct()) {
        target_->write(bytes.data(), bytes.data() + n, false);
        position_ += static_cast<std::int64_t>(n);
        return;
    }
    std::vector<std::uint8_t> other;
    {
        std::lock_guard l(lock_);
        if (!spareTaken_.empty()) {
            other = std::move(spareTaken_.back());
            spareTaken_.pop_back();
        }
    }
    open_.ops.push_back(Op{-1, open_.taken.size(), n, true});
    open_.taken.push_back(std::move(bytes));
    bytes = std::move(other);
    position_ += static_cast<std::int64_t>(n);
    hand(false);  // a writer's batch is one of ours: memory stays at one vector per batch
}

void WriteBehind::flush() {
    hand(true);
}

}  // namespace Stream
