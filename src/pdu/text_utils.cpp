#include "pdu/text_utils.h"

#include <cstdio>
#include <memory>

namespace pelorin::pdu {

TSplitArray SplitText(std::string_view text, std::string_view separator) {
    TSplitArray pieces;
    std::size_t start = 0;
    if (!separator.empty()) {
        // One forward scan yields the same pieces as deleting each piece from the front.
        for (std::size_t hit = text.find(separator); hit != std::string_view::npos;
             hit = text.find(separator, start)) {
            pieces.emplace_back(text.substr(start, hit - start));
            start = hit + separator.size();
        }
    }
    if (start < text.size()) pieces.emplace_back(text.substr(start));
    return pieces;
}

std::string_view SubText(std::string_view text, std::size_t position, std::size_t count) noexcept {
    if (position == 0 || position > text.size()) return {};
    return text.substr(position - 1, count);
}

std::string_view TrimControls(std::string_view text) {
    const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// Appends "\r\n" after every line, whatever break ended it in the file.
std::string NormaliseLineEnds(std::string_view raw) {
    std::string out;
    out.reserve(raw.size() + raw.size() / 16 + 2);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        } else {
            out += c;
        }
    }
    if (!raw.empty() && raw.back() != '\r' && raw.back() != '\n') out += "\r\n";
    return out;
}

} // namespace

std::string ReadTextFile(const std::string& path) {
    try {
        std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
        if (!file) return {};
        std::string raw;
        char buffer[8192];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
            raw.append(buffer, got);
        if (std::ferror(file.get())) return {};
        return NormaliseLineEnds(raw);
    } catch (...) { // out of memory on a huge file is a failure like any other
        return {};
    }
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (std::size_t hit = text.find(from); hit != std::string_view::npos; hit = text.find(from, start)) {
        out.append(text.substr(start, hit - start)).append(to);
        start = hit + from.size();
    }
    return out.append(text.substr(start));
}

} // namespace pelorin::pdu
