#include "ResultTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace kestrix::bench {

namespace {

bool Met(const Row& row) {
    switch (row.target.kind) {
        case TargetKind::RatioAtMost: return row.ratio <= row.target.bound;
        case TargetKind::RatioAtLeast: return row.ratio >= row.target.bound;
        case TargetKind::LibraryAtMost: return row.library <= row.target.bound;
        case TargetKind::LibraryAtLeast: return row.library >= row.target.bound;
        case TargetKind::None: break;
    }
    return true;
}

std::string TargetText(const Target& target) {
    char text[32];
    switch (target.kind) {
        case TargetKind::RatioAtMost: std::snprintf(text, sizeof(text), "ratio <= %.2f", target.bound); break;
        case TargetKind::RatioAtLeast: std::snprintf(text, sizeof(text), "ratio >= %.2f", target.bound); break;
        case TargetKind::LibraryAtMost: std::snprintf(text, sizeof(text), "library <= %g", target.bound); break;
        case TargetKind::LibraryAtLeast: std::snprintf(text, sizeof(text), "library >= %g", target.bound); break;
        case TargetKind::None: return "";
    }
    return text;
}

std::string Number(double value) {
    char text[32];
    if (value >= 1000) {
        std::snprintf(text, sizeof(text), "%.0f", value);
    } else if (value >= 10) {
        std::snprintf(text, sizeof(text), "%.1f", value);
    } else {
        std::snprintf(text, sizeof(text), "%.2f", value);
    }
    return text;
}

}  // namespace

double Median(std::vector<double> values) { return Percentile(std::move(values), 50); }

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

void ResultTable::Print() const {
    std::printf("| %-52s | %-12s | %10s | %10s | %6s | %-18s | %-4s |\n", "figure", "unit", "library", "baseline",
                "ratio", "target", "met");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(54, '-').c_str(), std::string(14, '-').c_str(),
                std::string(12, '-').c_str(), std::string(12, '-').c_str(), std::string(8, '-').c_str(),
                std::string(20, '-').c_str(), std::string(6, '-').c_str());
    for (const Row& row : m_rows) {
        const bool hasTarget = row.target.kind != TargetKind::None;
        std::printf("| %-52s | %-12s | %10s | %10s | %6.2f | %-18s | %-4s |\n", row.figure.c_str(), row.unit.c_str(),
                    Number(row.library).c_str(), Number(row.baseline).c_str(), row.ratio,
                    TargetText(row.target).c_str(), hasTarget ? (Met(row) ? "yes" : "NO") : "");
    }
    std::fflush(stdout);
}

bool ResultTable::WriteCsv(const std::string& path) const {
    std::ofstream out(path);
    if (!out) return false;
    out << "figure,unit,library,baseline,ratio,target,met\n";
    for (const Row& row : m_rows) {
        const bool hasTarget = row.target.kind != TargetKind::None;
        out << '"' << row.figure << "\"," << row.unit << ',' << row.library << ',' << row.baseline << ','
            << row.ratio << ",\"" << TargetText(row.target) << "\"," << (hasTarget ? (Met(row) ? "yes" : "no") : "")
            << '\n';
    }
    return static_cast<bool>(out);
}

bool ResultTable::WritePlot(const std::string& path) const {
    const std::string dataPath = path + ".dat";
    {
        std::ofstream data(dataPath);
        if (!data) return false;
        data << "# payload library_median library_p99 baseline_median baseline_p99 (microseconds)\n";
        for (const LatencyPoint& p : m_latency) {
            data << p.payload << ' ' << p.libraryMedian << ' ' << p.libraryP99 << ' ' << p.baselineMedian << ' '
                 << p.baselineP99 << '\n';
        }
    }
    FILE* gnuplot = popen("gnuplot", "w");
    if (gnuplot == nullptr) return false;
    std::fprintf(gnuplot,
                 "set terminal pngcairo size 900,560 font ',10' noenhanced\n"
                 "set output '%s'\n"
                 "set title 'Round trip of one SPIDataReq on loopback'\n"
                 "set xlabel 'payload (bytes)'\nset ylabel 'microseconds'\n"
                 "set logscale xy\nset grid\nset key top left\n"
                 "set xtics ('1' 1, '64' 64, '1024' 1024, '16384' 16384, '65528' 65528)\n"
                 "plot '%s' using 1:2 with linespoints lw 2 pt 7 title 'library median', "
                 "'' using 1:3 with linespoints dt 2 pt 6 title 'library p99', "
                 "'' using 1:4 with linespoints lw 2 pt 5 title 'baseline median', "
                 "'' using 1:5 with linespoints dt 2 pt 4 title 'baseline p99'\n",
                 path.c_str(), dataPath.c_str());
    const int status = pclose(gnuplot);
    std::remove(dataPath.c_str());
    return status == 0;
}

int ResultTable::Misses() const {
    int misses = 0;
    for (const Row& row : m_rows) misses += Met(row) ? 0 : 1;
    return misses;
}

bool ResultTable::WriteRecords(int fd) const {
    std::string text;
    char line[128];
    for (const Row& row : m_rows) {
        std::snprintf(line, sizeof(line), "\t%.17g\t%.17g\t%.17g\t%d\t%.17g\n", row.library, row.baseline,
                      row.ratio, static_cast<int>(row.target.kind), row.target.bound);
        text += "row\t" + row.figure + "\t" + row.unit + line;
    }
    for (const LatencyPoint& p : m_latency) {
        std::snprintf(line, sizeof(line), "latency\t%d\t%.17g\t%.17g\t%.17g\t%.17g\n", p.payload, p.libraryMedian,
                      p.libraryP99, p.baselineMedian, p.baselineP99);
        text += line;
    }
    for (size_t at = 0; at < text.size();) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool ResultTable::ReadRecords(int fd) {
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0) return false;
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() == 8 && fields[0] == "row") {
            const int kind = std::stoi(fields[6]);
            if (kind < 0 || kind > static_cast<int>(TargetKind::LibraryAtLeast)) return false;
            Add({fields[1], fields[2], std::stod(fields[3]), std::stod(fields[4]), std::stod(fields[5]),
                 Target{static_cast<TargetKind>(kind), std::stod(fields[7])}});
        } else if (fields.size() == 6 && fields[0] == "latency") {
            AddLatency({std::stoi(fields[1]), std::stod(fields[2]), std::stod(fields[3]), std::stod(fields[4]),
                        std::stod(fields[5])});
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace kestrix::bench
