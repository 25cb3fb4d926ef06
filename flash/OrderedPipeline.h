#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kestrix::flash {

// Runs job(0) .. job(count - 1) on up to `depth` threads, never more than
// `depth` jobs ahead of the one taken last, and hands the results over in
// index order. Once a job has failed no further job starts.
template <typename T>
class OrderedPipeline {
public:
    OrderedPipeline(uint32_t depth, uint32_t count, std::function<T(uint32_t)> job)
        : m_depth(depth), m_count(count), m_job(std::move(job)), m_results(count), m_errors(count) {
        for (uint32_t t = 0; t < depth && t < count; ++t)
            m_workers.emplace_back(&OrderedPipeline::Work, this);
    }

    // Starts nothing more and waits for the jobs under way.
    ~OrderedPipeline() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        for (std::thread& worker : m_workers) worker.join();
    }

    OrderedPipeline(const OrderedPipeline&) = delete;
    OrderedPipeline& operator=(const OrderedPipeline&) = delete;

    // The result of job `index`, waiting for it; rethrows what the job threw.
    // Indices are taken in order, each once.
    T Take(uint32_t index) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_results[index].has_value() || m_errors[index]; });
        if (m_errors[index]) {
            m_stop = true;
            std::rethrow_exception(m_errors[index]);
        }
        T result = std::move(*m_results[index]);
        m_results[index].reset();
        m_taken = index + 1;
        lock.unlock();
        m_changed.notify_all();
        return result;
    }

private:
    void Work() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock,
                           [this] { return m_stop || m_next >= m_count || m_next < m_taken + m_depth; });
            if (m_stop || m_next >= m_count) return;
            const uint32_t index = m_next++;
            lock.unlock();
            std::optional<T> result;
            std::exception_ptr error;
            try {
                result.emplace(m_job(index));
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error) {
                m_errors[index] = error;
                m_stop = true;
            } else {
                m_results[index] = std::move(result);
            }
            m_changed.notify_all();
        }
    }

    const uint32_t m_depth;
    const uint32_t m_count;
    const std::function<T(uint32_t)> m_job;

    // Guards everything below; the workers and the taker use it.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::optional<T>> m_results;
    std::vector<std::exception_ptr> m_errors;
    uint32_t m_next = 0;
    uint32_t m_taken = 0;
    bool m_stop = false;
    std::vector<std::thread> m_workers;
};

}  // namespace kestrix::flash
