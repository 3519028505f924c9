#include "run/output_file.h"

#include <charconv>
#include <locale>
#include <utility>

#include "run/forcing.h"
#include "run/numbers.h"

namespace kelmora {

bool OutputFile::open(const std::string& path) {
    if (out_.is_open()) out_.close();
    out_.clear();
    path_ = path;
    out_.open(path, std::ios::binary | std::ios::trunc);
    out_.imbue(std::locale::classic());
    line_.reserve(512);
    return out_.is_open();
}

bool OutputFile::create(const std::string& path, std::string_view headers, std::string open_failure,
                        std::string& error_text) {
    if (!open(path)) {
        error_text = std::move(open_failure);
        return false;
    }
    return header(headers, error_text);
}

bool OutputFile::header(std::string_view text, std::string& error_text) {
    out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    out_.flush();
    if (!out_) {
        error_text = "Failed to write " + path_;
        return false;
    }
    return true;
}

void OutputFile::begin_line(const ForcingRecord& record) {
    char buf[48];
    line_.clear();
    for (int32_t v : {record.day, record.hour, record.minute}) {
        if (!line_.empty()) line_ += ", ";
        line_.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    }
}

void OutputFile::value(double v) {
    char buf[32];
    line_ += ", ";
    line_.append(buf, format_real(buf, v));
}

bool OutputFile::write_means(const ForcingRecord& record, std::span<double> sums,
                             std::string& error_text) {
    begin_line(record);
    const double n = record.substeps;
    for (double& sum : sums) mean(sum, n);
    return end_line(error_text);
}

bool OutputFile::end_line(std::string& error_text) {
    line_ += '\n';
    out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
    out_.flush();
    if (!out_) {
        error_text = "Failed to write " + path_;
        return false;
    }
    return true;
}

std::vector<std::string> read_last_line(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> last;
    if (!in) return last;
    std::string line;
    std::vector<std::string_view> words;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '#') continue;
        split_words(line, false, words);
        if (words.empty()) continue;
        last.assign(words.begin(), words.end());
    }
    return last;
}

double word_value(const std::vector<std::string>& words, size_t index) {
    return leading_real(words[index]);
}

}  // namespace kelmora
