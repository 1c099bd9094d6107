#include "metrics_exposition.h"

#include <fmt/format.h>

#include <cmath>

namespace korvane::Utils::Metrics {

namespace {

std::string escapeLabelValue(const std::string& value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string formatValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    // Whole numbers, counts above all, print without an exponent up to 2^53.
    if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0) {
        return fmt::format("{:.0f}", value);
    }
    return fmt::format("{}", value);
}

Labels labelsOf(const std::vector<std::string>& names, const std::vector<std::string>& values) {
    Labels labels;
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
        labels.emplace_back(names[i], values[i]);
    }
    return labels;
}

}  // namespace

void Exposition::family(const std::string& name, const std::string& help, const char* type) {
    text_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

void Exposition::sample(const std::string& name, const Labels& labels, double value) {
    text_ += name;
    if (!labels.empty()) {
        text_ += '{';
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (i != 0) text_ += ',';
            text_ += fmt::format("{}=\"{}\"", labels[i].first, escapeLabelValue(labels[i].second));
        }
        text_ += '}';
    }
    text_ += ' ';
    text_ += formatValue(value);
    text_ += '\n';
}

void Exposition::counter(const std::string& name, const std::string& help, const Counter& counter) {
    family(name, help, "counter");
    sample(name, static_cast<double>(counter.value()));
}

void Exposition::gauge(const std::string& name, const std::string& help, double value) {
    family(name, help, "gauge");
    sample(name, value);
}

void Exposition::counters(const std::string& name, const std::string& help,
                          const Family<Counter>& counters) {
    family(name, help, "counter");
    counters.forEach([&](const std::vector<std::string>& values, const Counter& counter) {
        sample(name, labelsOf(counters.labelNames(), values), static_cast<double>(counter.value()));
    });
}

void Exposition::histograms(const std::string& name, const std::string& help,
                            const Family<Histogram>& histograms) {
    family(name, help, "histogram");
    histograms.forEach([&](const std::vector<std::string>& values, const Histogram& histogram) {
        this->histogram(name, labelsOf(histograms.labelNames(), values), histogram);
    });
}

void Exposition::histogram(const std::string& name, Labels labels, const Histogram& histogram) {
    const auto counts = histogram.cumulativeCounts();
    labels.emplace_back("le", "");
    for (std::size_t i = 0; i < counts.size(); ++i) {
        labels.back().second = i < Histogram::kBoundsSeconds.size()
                                   ? formatValue(Histogram::kBoundsSeconds[i])
                                   : "+Inf";
        sample(name + "_bucket", labels, static_cast<double>(counts[i]));
    }
    labels.pop_back();
    sample(name + "_sum", labels, histogram.sumSeconds());
    sample(name + "_count", labels, static_cast<double>(counts.back()));
}

}  // namespace korvane::Utils::Metrics
