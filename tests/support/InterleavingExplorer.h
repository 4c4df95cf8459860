// Runs a few actors (a writer and its readers) as coroutines on one thread,
// one cell access at a time, and explores their interleavings depth first:
// every schedule in which the running actor is preempted at most `bound`
// times. Each schedule starts from scratch, so the actors must be built afresh
// and behave the same whenever they are handed the same schedule. An actor can
// end for good at any access, as a killed process does, and wake a dormant
// one that takes its place, as the process that takes over. Not for
// ThreadSanitizer builds: on one thread there is no race for it to see.
#pragma once

#include <sanitizer/asan_interface.h>
#include <ucontext.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qor::test {

class InterleavingExplorer {
public:
    using Actor = std::function<void()>;

    explicit InterleavingExplorer(int bound) : m_bound(bound) {}
    InterleavingExplorer(const InterleavingExplorer&) = delete;
    InterleavingExplorer& operator=(const InterleavingExplorer&) = delete;

    // Runs every schedule within the bound until judge finds a fault. For each,
    // makeActors sets up the shared state and returns the actors; judge looks
    // at what they did and returns "" or the fault. Actors whose bit is set in
    // dormant run only once another hands over to them. Returns the first
    // fault found with the schedule that showed it, or "".
    std::string Explore(const std::function<std::vector<Actor>()>& makeActors,
                        const std::function<std::string()>& judge, unsigned dormant = 0) {
        m_path.clear();
        m_schedules = 0;
        do {
            RunOnce(makeActors(), dormant);
            ++m_schedules;
            const std::string fault = judge();
            if (!fault.empty()) {
                return fault + "\n  schedule (actor:accesses): " + RunLengths(m_trace);
            }
        } while (Backtrack());
        return "";
    }

    long Schedules() const { return m_schedules; }

    // The scheduling point, called before every cell access: may hand the turn
    // to another actor, and returns when this one is scheduled again.
    void BeforeAccess() {
        if (m_running < 0) {
            return;  // an access made while setting up, outside any schedule
        }
        const int me = m_running;
        const int next = Choose(true);
        if (next != me) {
            m_next = next;
            Switch(*m_fibers[me], m_scheduler);
        }
        m_trace += static_cast<char>('0' + me);
    }

    // The actor making the current access, or -1 outside a schedule.
    int Running() const { return m_running; }

    // Ends the running actor here for good, as a killed process ends, and
    // wakes the dormant actor heir. Who runs next is chosen as when an actor
    // finishes, so the switch costs no preemption. Never returns.
    [[noreturn]] void HandOver(int heir) {
        const int me = m_running;
        m_finished[me] = true;
        m_dormant &= ~(1u << heir);
        m_abandoned.push_back(me);
        m_next = Choose(false);
        Switch(*m_fibers[me], m_scheduler);
        __builtin_unreachable();
    }

private:
    static constexpr std::size_t kStackSize = 1 << 18;

    struct Fiber {
        ucontext_t context;
        std::unique_ptr<char[]> stack{new char[kStackSize]};
    };

    // A point where more than one actor could run next: the one chosen on this
    // path and those still to be tried, as a bit set.
    struct Decision {
        int chosen;
        unsigned untried;
    };

    void RunOnce(std::vector<Actor> actors, unsigned dormant) {
        m_actors = std::move(actors);
        m_finished.assign(m_actors.size(), false);
        m_dormant = dormant;
        // A coroutine left in the middle of its actor starts afresh.
        for (const int actor : m_abandoned) {
            MakeCoroutine(*m_fibers[actor]);
        }
        m_abandoned.clear();
        m_depth = 0;
        m_preemptions = 0;
        m_trace.clear();
        s_current = this;
        while (m_fibers.size() < m_actors.size()) {
            m_fibers.emplace_back(new Fiber{});
            MakeCoroutine(*m_fibers.back());
        }
        for (m_next = Choose(false); m_next >= 0;) {
            m_running = m_next;
            Switch(m_scheduler, *m_fibers[m_running]);
        }
        m_running = -1;
    }

    static void MakeCoroutine(Fiber& fiber) {
        // An abandoned coroutine's frames never returned to clear their redzones
        // (nothing to do outside AddressSanitizer builds).
        ASAN_UNPOISON_MEMORY_REGION(fiber.stack.get(), kStackSize);
        getcontext(&fiber.context);
        fiber.context.uc_stack.ss_sp = fiber.stack.get();
        fiber.context.uc_stack.ss_size = kStackSize;
        makecontext(&fiber.context, &RunActor, 0);
    }

    // An actor's coroutine: runs its part of one schedule each time the
    // scheduler starts it, so coroutines are made once and never end.
    static void RunActor() {
        for (;;) {
            InterleavingExplorer& self = *s_current;
            const int me = self.m_running;
            self.m_actors[me]();
            self.m_finished[me] = true;
            self.m_next = self.Choose(false);
            Switch(*self.m_fibers[me], self.m_scheduler);
        }
    }

    static void Switch(Fiber& from, Fiber& to) { swapcontext(&from.context, &to.context); }

    // The actor that makes the next access. Replays the path down to its
    // last decision, then keeps the running actor going (or the first
    // unfinished one when it has finished) and notes the other choices.
    int Choose(bool runningMayContinue) {
        unsigned unfinished = 0;
        for (std::size_t a = 0; a < m_actors.size(); ++a) {
            unfinished |= m_finished[a] ? 0u : 1u << a;
        }
        unfinished &= ~m_dormant;
        if (unfinished == 0) {
            return -1;
        }
        const int preferred = runningMayContinue ? m_running : __builtin_ctz(unfinished);
        const unsigned others = unfinished & ~(1u << preferred);
        const bool mayPreempt = !runningMayContinue || m_preemptions < m_bound;
        if (others == 0 || !mayPreempt) {
            return preferred;
        }
        if (m_depth == m_path.size()) {
            m_path.push_back(Decision{preferred, others});
        }
        const int chosen = m_path[m_depth++].chosen;
        m_preemptions += runningMayContinue && chosen != m_running;
        return chosen;
    }

    // Moves to the next untried choice at the deepest decision that has one.
    bool Backtrack() {
        while (!m_path.empty() && m_path.back().untried == 0) {
            m_path.pop_back();
        }
        if (m_path.empty()) {
            return false;
        }
        Decision& last = m_path.back();
        last.chosen = __builtin_ctz(last.untried);
        last.untried &= last.untried - 1;
        return true;
    }

    static std::string RunLengths(const std::string& trace) {
        std::string runs;
        for (std::size_t i = 0, j = 0; i < trace.size(); i = j) {
            while (j < trace.size() && trace[j] == trace[i]) {
                ++j;
            }
            runs += trace.substr(i, 1) + ":" + std::to_string(j - i) + " ";
        }
        return runs;
    }

    static inline InterleavingExplorer* s_current = nullptr;

    const int m_bound;
    std::vector<Actor> m_actors;
    std::vector<bool> m_finished;
    unsigned m_dormant = 0;
    std::vector<int> m_abandoned;
    std::vector<std::unique_ptr<Fiber>> m_fibers;
    Fiber m_scheduler{};
    std::vector<Decision> m_path;
    std::size_t m_depth = 0;
    int m_preemptions = 0;
    int m_running = -1;
    int m_next = -1;
    long m_schedules = 0;
    std::string m_trace;
};

}  // namespace qor::test
