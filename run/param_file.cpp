#include "run/param_file.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "run/numbers.h"
#include "run/site.h"

namespace kelmora {

bool Range::contains(double v) const {
    if (!std::isfinite(v)) return false;
    const double s = scale ? *scale : 1.0;
    const double l = lo * s;
    const double h = hi * s;
    const bool above = lo_inclusive ? v >= l : v > l;
    const bool below = hi_inclusive ? v <= h : v < h;
    return above && below;
}

namespace {

std::string_view key_name(std::string_view text) {
    const size_t end = text.find_first_of(" \t");
    return end == std::string_view::npos ? text : text.substr(0, end);
}

std::string open_failure(const std::string& path, const ParamFile& file) {
    return "Failed to open " + path + (file.full_stop_on_failure ? "." : "");
}

bool fail(Site& site, const std::string& path, std::string_view message) {
    site.error_text = path;
    site.error_text += message;
    return false;
}

// Stores the value of a plain key and checks it; false on a bad value.
bool store_plain(const ParamKey& key, std::string_view word) {
    if (key.int_field) {
        *key.int_field = leading_int(word);
        return key.message.empty() || key.range.contains(*key.int_field);
    }
    *key.real_field = leading_real(word) + key.offset;
    return key.message.empty() || key.range.contains(*key.real_field);
}

bool store_numbered(const NumberedKey& key, std::string_view word, std::string_view value) {
    const size_t at = word.find(key.base);
    const int32_t number = leading_int(word.substr(at + key.base.size()));
    if (number < key.first || number > key.last) return false;
    double& slot = key.values[number - key.first];
    slot = leading_real(value);
    return key.range.contains(slot);
}

bool store_list(const ListKey& key, std::string_view value) {
    key.list->push_back(leading_real(value));
    return key.range.contains(key.list->back());
}

// Interprets one line; false with the message set on a bad value.
bool read_line(Site& site, const std::string& path, const ParamFile& file,
               const std::vector<std::string_view>& words) {
    if (words.size() < 2) return true;
    const std::string_view key = words[0];
    for (const ParamKey& k : file.keys) {
        if (key_name(k.text) != key) continue;
        return store_plain(k, words[1]) || fail(site, path, k.message);
    }
    if (file.numbered && key.find(file.numbered->base) != std::string_view::npos) {
        return store_numbered(*file.numbered, key, words[1]) ||
               fail(site, path, file.numbered->message);
    }
    if (file.list && key.find(file.list->base) != std::string_view::npos) {
        return store_list(*file.list, words[1]) || fail(site, path, file.list->message);
    }
    return true;
}

void append_int(std::string& out, int64_t v) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void append_real(std::string& out, double v) {
    char buf[32];
    out.append(buf, format_real(buf, v));
}

void append_indexed(std::string& out, std::string_view base, int64_t number, std::string_view gap,
                    double value, std::string_view head, std::string_view tail) {
    out += base;
    append_int(out, number);
    out += gap;
    append_real(out, value);
    out += head;
    append_int(out, number);
    out += tail;
}

std::string file_text(const ParamFile& file) {
    std::string text(file.title);
    text += '\n';
    for (const ParamKey& k : file.keys) {
        text += k.text;
        if (k.int_field) {
            append_int(text, *k.int_field);
        } else {
            append_real(text, *k.real_field - k.offset);
        }
        text += k.remark;
    }
    if (const NumberedKey* n = file.numbered) {
        for (int32_t i = n->first; i <= n->last; ++i) {
            append_indexed(text, n->base, i, n->gap, n->values[i - n->first], n->remark_head,
                           n->remark_tail);
        }
    }
    if (const ListKey* l = file.list) {
        const std::span<const double> values =
            l->list->empty() ? l->defaults : std::span<const double>(*l->list);
        for (size_t i = 0; i < values.size(); ++i) {
            append_indexed(text, l->base, static_cast<int64_t>(i + 1), l->gap, values[i],
                           l->remark_head, l->remark_tail);
        }
    }
    return text;
}

}  // namespace

bool read_parameter_file(Site& site, const std::string& path, const ParamFile& file) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        site.error_text = open_failure(path, file);
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        // Only a missing file is written with the defaults: a file that exists
        // but cannot be read (no read permission) holds the user's values.
        if (std::filesystem::exists(path, ec)) {
            site.error_text = open_failure(path, file);
            return false;
        }
        if (!write_parameter_file(site, path, file)) return false;
        in.open(path);
    }
    std::string line;
    std::vector<std::string_view> words;
    bool first_line = true;
    while (std::getline(in, line)) {
        const bool skip = first_line && file.skip_first_line;
        first_line = false;
        if (skip) continue;
        split_words(line, file.commas_as_blanks, words);
        if (!read_line(site, path, file, words)) return false;
    }
    return true;
}

bool write_parameter_file(Site& site, const std::string& path, const ParamFile& file) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
        const std::string text = file_text(file);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
    }
    if (!out) {
        site.error_text = open_failure(path, file);
        return false;
    }
    return true;
}

}  // namespace kelmora
