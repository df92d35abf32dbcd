// A decoder module as an older build would have made it: its entry has the right name and
// layout but version 1. The program must refuse it by its version and never call it.
#include <cstddef>
#include <cstdint>

namespace {

int neverCalled(const char*, int (*)(void*, const std::int16_t*, std::size_t), void*,
                void (*)(void*, const char*, std::size_t), void*) {
  __builtin_trap();
}

struct OldEntry {
  std::uint32_t version;
  int (*decodePcm)(const char*, int (*)(void*, const std::int16_t*, std::size_t), void*,
                   void (*)(void*, const char*, std::size_t), void*);
};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) extern const OldEntry quillmorDecoderModule;
const OldEntry quillmorDecoderModule{1, &neverCalled};
}
