// The entry of the fuzz targets in a build without libFuzzer (gcc, the normal and the sanitizer
// builds): every file named on the command line, or found in a folder named there, is given to
// LLVMFuzzerTestOneInput once, so the seed and regression inputs are replayed by every test run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

void CollectInputs(const std::filesystem::path& path, std::vector<std::filesystem::path>* inputs) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error)) {
            if (entry.is_regular_file(error)) inputs->push_back(entry.path());
        }
    } else if (std::filesystem::exists(path, error)) {
        inputs->push_back(path);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        // libFuzzer's options (-runs=0 and the like) are accepted and ignored.
        if (argv[i][0] != '-') CollectInputs(argv[i], &inputs);
    }
    for (const auto& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                         std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
    return 0;
}
