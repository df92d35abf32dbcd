#include "platform/audio_convert/ffmpeg_error.h"

#include <cerrno>
#include <cstdarg>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace quillmor_speech {

namespace {

void discardLogLine(void*, int, const char*, std::va_list) {}

}  // namespace

std::string describeAVError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0 || text[0] == '\0') {
    return "error " + std::to_string(code);
  }
  return text;
}

Status avError(std::string_view context, int code) {
  return Status::withCode(code == AVERROR(ENOMEM) ? StatusCode::noMemory : StatusCode::failed,
                          std::string(context) + ": " + describeAVError(code));
}

void silenceAVLog() {
  av_log_set_level(AV_LOG_QUIET);
  av_log_set_callback(discardLogLine);
}

}  // namespace quillmor_speech
