// mkimage: writes a firmware image file from a few parameters, or checks one.
//
//   mkimage --out FILE --product N --revision N --version 0xMMmmSSLL --name TEXT
//           --flash-start ADDR --records N [--record-length 236] [--last-length N]
//           [--seed N]
//   mkimage --check FILE [--name TEXT]
//
// Numbers take C notation (decimal, 0x hexadecimal). The record bodies and the
// start bytes come from a generator seeded by --seed, so the same command
// always writes the same file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image_format.h"

namespace {

struct Options {
    ImageParams params{};
    uint32_t records = 0;
    uint32_t record_length = 236;  // every record but the last, in the built-in images
    uint32_t last_length = 0;
    std::string out_path;
    std::string check_path;
    bool failed = false;
};

bool read_number(const char* text, uint64_t* value) {
    errno = 0;
    char* end = nullptr;
    *value = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

uint32_t number_option(const char* name, const char* text, Options* options) {
    uint64_t value = 0;
    if (!read_number(text, &value) || value > 0xFFFFFFFFull) {
        std::fprintf(stderr, "mkimage: %s needs a 32-bit number, not \"%s\"\n", name, text);
        options->failed = true;
    }
    return static_cast<uint32_t>(value);
}

// Applies one "--name value" pair; false for an unknown name.
bool apply_option(const std::string& name, const char* value, Options* options) {
    ImageParams& p = options->params;
    if (name == "--out") options->out_path = value;
    else if (name == "--check") options->check_path = value;
    else if (name == "--name") p.name = value;
    else if (name == "--product") p.product_code = number_option("--product", value, options);
    else if (name == "--revision") p.hardware_revision = number_option("--revision", value, options);
    else if (name == "--version") p.version = number_option("--version", value, options);
    else if (name == "--flash-start") p.flash_start = number_option("--flash-start", value, options);
    else if (name == "--records") options->records = number_option("--records", value, options);
    else if (name == "--record-length") options->record_length = number_option(name.c_str(), value, options);
    else if (name == "--last-length") options->last_length = number_option(name.c_str(), value, options);
    else if (name == "--seed") p.seed = number_option("--seed", value, options);
    else return false;
    return true;
}

bool parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !apply_option(argv[i], argv[i + 1], options)) {
            std::fprintf(stderr, "mkimage: unknown or incomplete option \"%s\"\n", argv[i]);
            return false;
        }
    }
    return !options->failed && (options->out_path.empty() != options->check_path.empty());
}

int check_file(const Options& options) {
    std::vector<uint8_t> image;
    if (!image_load(options.check_path, &image) || image.size() > 0xFFFFFFFFu) {
        std::fprintf(stderr, "mkimage: cannot read %s\n", options.check_path.c_str());
        return 2;
    }
    // The program's own rules, as the build and --image apply them.
    const ImageRule broken = image_first_broken_rule(image.data(), static_cast<uint32_t>(image.size()));
    if (broken != IMAGE_VALID) {
        std::printf("%s: %s\n", options.check_path.c_str(), image_rule_text(broken));
        return 1;
    }
    const std::string name(reinterpret_cast<const char*>(image.data() + IMAGE_NAME_AT));
    if (!options.params.name.empty() && name != options.params.name) {
        std::printf("%s: name is \"%s\", not \"%s\"\n", options.check_path.c_str(), name.c_str(),
                    options.params.name.c_str());
        return 1;
    }
    std::printf("%s: valid, %zu bytes\n", options.check_path.c_str(), image.size());
    return 0;
}

int make_file(Options* options) {
    options->params.record_lengths =
        image_record_lengths(options->records, options->record_length, options->last_length);
    std::string error;
    const std::vector<uint8_t> image = image_build(options->params, &error);
    if (image.empty()) {
        std::fprintf(stderr, "mkimage: %s\n", error.c_str());
        return 2;
    }
    if (!image_save(options->out_path, image)) {
        std::fprintf(stderr, "mkimage: cannot write %s\n", options->out_path.c_str());
        return 2;
    }
    std::printf("%s: %zu bytes, %zu records\n", options->out_path.c_str(), image.size(),
                options->params.record_lengths.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) {
        std::fprintf(stderr,
                     "use: mkimage --out FILE --product N --revision N --version V --name TEXT\n"
                     "             --flash-start A --records N [--record-length N]\n"
                     "             [--last-length N] [--seed N]\n"
                     "     mkimage --check FILE [--name TEXT]\n");
        return 2;
    }
    return options.check_path.empty() ? make_file(&options) : check_file(options);
}
