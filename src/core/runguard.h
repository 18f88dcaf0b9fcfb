#pragma once
#include <utility>

namespace pw {

// One run of a kind at a time. Buttons stay live during long work, so a
// click can arrive through the event pump of the very operation it would
// start again; a nested run would refill the list the outer run is still
// filling. Such a click is ignored.
//
//   RunGuard m_scanning;
//   m_scanning.run([&] { ... });   // does nothing while a scan is under way
class RunGuard {
public:
    RunGuard() = default;
    RunGuard(const RunGuard &) = delete;
    RunGuard &operator=(const RunGuard &) = delete;

    // Runs `work` unless a run guarded here is under way; answers whether
    // it ran. The guard is free again however `work` ends, exceptions included.
    template <class F> bool run(F &&work) {
        if (m_running)
            return false;
        const Entered entered(*this);
        std::forward<F>(work)();
        return true;
    }

    bool running() const { return m_running; }

private:
    class Entered {
    public:
        explicit Entered(RunGuard &guard) : m_guard(guard) { m_guard.m_running = true; }
        ~Entered() { m_guard.m_running = false; }
        Entered(const Entered &) = delete;
        Entered &operator=(const Entered &) = delete;

    private:
        RunGuard &m_guard;
    };

    bool m_running = false;
};

} // namespace pw
