// Placeholder until the audio layer lands: every file is refused.
#include "decode/decode.h"

#include "app/output.h"

namespace quillmor_speech {

void decode(const std::string&) { fail("decode_unsupported", "这个音频格式系统解不开"); }

}  // namespace quillmor_speech
