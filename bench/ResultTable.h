#pragma once

#include <string>
#include <vector>

namespace kestrix::bench {

double Median(std::vector<double> values);
// Nearest-rank percentile, 0 < p <= 100.
double Percentile(std::vector<double> values, double p);

enum class TargetKind { None, RatioAtMost, RatioAtLeast, LibraryAtMost, LibraryAtLeast };

struct Target {
    TargetKind kind = TargetKind::None;
    double bound = 0;
};

// One figure: the library's value, the baseline's, and the median of the
// per-round ratios library / baseline.
struct Row {
    std::string figure;
    std::string unit;
    double library = 0;
    double baseline = 0;
    double ratio = 0;
    Target target;
};

struct LatencyPoint {
    int payload = 0;
    double libraryMedian = 0;
    double libraryP99 = 0;
    double baselineMedian = 0;
    double baselineP99 = 0;
};

class ResultTable {
public:
    void Add(Row row) { m_rows.push_back(std::move(row)); }
    void AddLatency(LatencyPoint point) { m_latency.push_back(point); }

    void Print() const;
    bool WriteCsv(const std::string& path) const;
    // Latency by payload as a PNG, drawn by gnuplot.
    bool WritePlot(const std::string& path) const;

    // Targets not met, for the summary line.
    int Misses() const;

    // Hands rows and latency points from the process that measured them to
    // the one that prints them: one text line each.
    bool WriteRecords(int fd) const;
    // Adds what WriteRecords wrote; false on a malformed line.
    bool ReadRecords(int fd);

private:
    std::vector<Row> m_rows;
    std::vector<LatencyPoint> m_latency;
};

}  // namespace kestrix::bench
