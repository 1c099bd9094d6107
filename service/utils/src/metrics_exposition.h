#pragma once
// Writes metrics in the Prometheus text exposition format, version 0.0.4: each family's HELP
// and TYPE lines, then its samples. Label values are escaped as the format asks; values are
// printed so that the reader gets them back exactly. A plain value built on one thread.

#include <string>
#include <utility>
#include <vector>

#include "metric_family.h"

namespace korvane::Utils::Metrics {

using Labels = std::vector<std::pair<std::string, std::string>>;

class Exposition {
  public:
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    // HELP and TYPE ("counter", "gauge" or "histogram") of the family called name.
    void family(const std::string& name, const std::string& help, const char* type);
    void sample(const std::string& name, const Labels& labels, double value);
    void sample(const std::string& name, double value) { sample(name, {}, value); }

    // A whole family at once.
    void counter(const std::string& name, const std::string& help, const Counter& counter);
    void gauge(const std::string& name, const std::string& help, double value);
    void counters(const std::string& name, const std::string& help, const Family<Counter>& family);
    void histograms(const std::string& name, const std::string& help,
                    const Family<Histogram>& family);

    const std::string& text() const { return text_; }

  private:
    void histogram(const std::string& name, Labels labels, const Histogram& histogram);

    std::string text_;
};

}  // namespace korvane::Utils::Metrics
