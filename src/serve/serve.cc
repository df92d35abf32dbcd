// Placeholder until the session lands.
#include "serve/serve.h"

#include "app/output.h"

namespace quillmor_speech {

void serve(SpeechEngine& engine) {
  if (!engine.isAvailable()) fail("unsupported", "此 Mac 不支持本机语音识别");
  fail("bad_start", "第一帧必须是 start");
}

}  // namespace quillmor_speech
