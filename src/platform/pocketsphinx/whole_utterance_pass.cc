#include "platform/pocketsphinx/whole_utterance_pass.h"

#include <sphinxbase/cmn.h>
#include <sphinxbase/feat.h>

#include <algorithm>

namespace quillmor_speech {

namespace {

void check(int returned, const char* whatFailed) {
  if (returned < 0) throw SpeechError(describePocketSphinxFailure(whatFailed, returned, ""));
}

// The live normalisation of the decoder's feature module, as it was before a pass.
struct LiveNormalisation {
  cmn_type_t type;
  std::vector<mfcc_t> sum;
  std::int32_t frames;
};

LiveNormalisation keepLive(const feat_t& feat) {
  const cmn_t& cmn = *feat.cmn_struct;
  return {feat.cmn, std::vector<mfcc_t>(cmn.sum, cmn.sum + cmn.veclen), cmn.nframe};
}

// Makes the mean the running mean, worth the library's window of frames.
void setRunningMean(cmn_t& cmn, const std::vector<mfcc_t>& mean) {
  for (int i = 0; i < cmn.veclen; ++i) {
    cmn.cmn_mean[i] = mean[i];
    cmn.sum[i] = mean[i] * CMN_WIN;
  }
  cmn.nframe = CMN_WIN;
}

// Puts the live normalisation back, or the mean the pass measured (the library leaves it in
// cmn_mean) as the running mean.
void restoreLive(feat_t& feat, const LiveNormalisation& live, bool carryMeasured) {
  cmn_t& cmn = *feat.cmn_struct;
  feat.cmn = live.type;
  if (carryMeasured) {
    setRunningMean(cmn, std::vector<mfcc_t>(cmn.cmn_mean, cmn.cmn_mean + cmn.veclen));
  } else {
    std::copy(live.sum.begin(), live.sum.end(), cmn.sum);
    cmn.nframe = live.frames;
    if (cmn.nframe > 0) {
      for (int i = 0; i < cmn.veclen; ++i) cmn.cmn_mean[i] = cmn.sum[i] / cmn.nframe;
    }
  }
}

}  // namespace

WholeUtterancePass::WholeUtterancePass(ps_decoder_t* decoder)
    : decoder_(decoder), frontEnd_(fe_init_auto_r(ps_get_config(decoder))) {
  if (!frontEnd_) throw SpeechError("The speech recognizer could not make its second front end");
  int frameSize = 0;
  fe_get_input_size(frontEnd_.get(), &frameShift_, &frameSize);
  width_ = fe_get_output_size(frontEnd_.get());
}

void WholeUtterancePass::computeCepstra(std::span<const std::int16_t> samples,
                                        std::size_t firstSample) {
  cepstra_.clear();
  streamFrames_.clear();
  fe_t* fe = frontEnd_.get();
  fe_start_stream(fe);
  fe_start_utt(fe);
  const int firstFrame = static_cast<int>(firstSample / frameShift_);
  int nextFrame = firstFrame;  // the stream frame of the next frame the front end gives
  std::vector<mfcc_t*> rows;
  auto makeRoom = [&](int frames) {
    const std::size_t used = streamFrames_.size();
    cepstra_.resize((used + frames) * width_);
    rows.resize(frames);
    for (int i = 0; i < frames; ++i) rows[i] = cepstra_.data() + (used + i) * width_;
  };
  auto keep = [&](int frames, int startIndex) {
    // A start index is given when speech begins (the frames kept from before it come first).
    if (startIndex > 0) nextFrame = firstFrame + startIndex;
    for (int i = 0; i < frames; ++i) streamFrames_.push_back(nextFrame++);
    cepstra_.resize(streamFrames_.size() * width_);
  };
  const std::int16_t* next = samples.data();
  std::size_t left = samples.size();
  while (left > 0) {
    // One frame shift at a time, so that each kept frame's place is known.
    std::size_t chunk = std::min<std::size_t>(left, frameShift_);
    const std::size_t taken = chunk;
    std::int32_t frames = 0;
    fe_process_frames(fe, nullptr, &chunk, nullptr, &frames, nullptr);
    makeRoom(std::max(frames, 1));
    frames = std::max(frames, 1);
    std::int32_t startIndex = 0;
    check(fe_process_frames(fe, &next, &chunk, rows.data(), &frames, &startIndex),
          "Computing the utterance's cepstra failed");
    keep(frames, startIndex);
    left -= taken - chunk;
    if (chunk == taken) break;  // nothing was taken: cannot happen, but never loop forever
  }
  makeRoom(1);
  std::int32_t tail = 0;
  fe_end_utt(fe, rows[0], &tail);
  keep(tail, 0);
}

void WholeUtterancePass::carryMean() {
  if (lastMean_.empty()) return;
  setRunningMean(*ps_get_feat(decoder_)->cmn_struct, lastMean_);
}

std::vector<Word> WholeUtterancePass::decode(std::span<const std::int16_t> samples,
                                             std::size_t firstSample, bool carry) {
  lastMean_.clear();
  computeCepstra(samples, firstSample);
  feat_t& feat = *ps_get_feat(decoder_);
  const LiveNormalisation live = keepLive(feat);
  const int frames = static_cast<int>(streamFrames_.size());
  std::vector<Word> segments;
  if (frames > 0) {
    std::vector<mfcc_t*> rows(frames);
    for (int i = 0; i < frames; ++i) rows[i] = cepstra_.data() + i * width_;
    check(ps_start_utt(decoder_), "Starting the second pass failed");
    feat.cmn = CMN_BATCH;
    const int searched = ps_process_cep(decoder_, rows.data(), frames, 0, 1);
    if (searched > 0) {
      const cmn_t& cmn = *feat.cmn_struct;
      lastMean_.assign(cmn.cmn_mean, cmn.cmn_mean + cmn.veclen);
    }
    restoreLive(feat, live, carry && searched > 0);
    check(searched, "Recognising the utterance again failed");
    check(ps_end_utt(decoder_), "Ending the second pass failed");
    segments = hypothesisSegments(decoder_, true);
  }
  if (segments.empty()) return segments;
  // The decoder counts the pass's frames from where its live utterance began; a whole
  // utterance's hypothesis begins at the pass's first frame.
  const int offset = segments.front().startFrame;
  auto onStream = [&](int frame) {
    return streamFrames_[std::clamp(frame - offset, 0, frames - 1)];
  };
  for (Word& segment : segments) {
    segment.startFrame = onStream(segment.startFrame);
    segment.endFrame = onStream(segment.endFrame);
  }
  return segments;
}

}  // namespace quillmor_speech
