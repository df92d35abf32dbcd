// The second pass over a finished utterance: its audio decoded again, on the same decoder, as
// one whole utterance whose cepstra are normalised by their own mean (as PocketSphinx's batch
// decoder does), instead of the running estimate of the live pass, which starts from the
// model's default and lags the speaker.
//
// The cepstra are computed by a front end of the pass's own, configured as the decoder's, so
// the decoder's front end (its sample count, noise and voice-activity state) keeps following the
// live stream. Silence the front end drops is left out of the pass as the batch decoder leaves
// it out, and each frame kept is mapped back to where its audio lies in the stream.
//
// Around the pass, the decoder's live normalisation is kept: its type is put back, and its
// running mean is replaced by the utterance's own (weighted as the library's window of frames),
// so that the next utterance's live pass starts from this speaker's level, not the model's. A
// pass over an utterance that may yet go on leaves the running mean as it was, and carries its
// own over later, once the utterance is known to have ended there.
//
// Failures: decode throws SpeechError when the decoder fails; the decoder must not be used
// after that.
//
// Thread safety: none; a pass and its decoder are used by one thread at a time.
#pragma once

#include <pocketsphinx.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/pocketsphinx/hypothesis_words.h"
#include "platform/pocketsphinx/pocketsphinx_handles.h"

namespace quillmor_speech {

class WholeUtterancePass {
 public:
  // The decoder has started its stream and outlives the pass. Throws SpeechError when the front
  // end cannot be made.
  explicit WholeUtterancePass(ps_decoder_t* decoder);

  // Decodes the samples (16 kHz mono, the first one at sample firstSample of the stream) as one
  // utterance, between two utterances of the live pass (none may be in progress). Returns every
  // segment of the hypothesis, with posteriors, its frames on the stream's timeline. The
  // utterance's mean becomes the live pass's running mean when carry is set.
  std::vector<Word> decode(std::span<const std::int16_t> samples, std::size_t firstSample,
                           bool carry);

  // Makes the mean of the last pass the live pass's running mean (nothing when it measured
  // none).
  void carryMean();

 private:
  // The cepstra of the samples the front end keeps as speech, and the stream frame of each.
  void computeCepstra(std::span<const std::int16_t> samples, std::size_t firstSample);

  ps_decoder_t* decoder_;
  FrontEndHandle frontEnd_;
  int frameShift_ = 160;  // samples per frame
  int width_ = 13;        // coefficients per frame
  std::vector<mfcc_t> cepstra_;
  std::vector<int> streamFrames_;  // of each frame in cepstra_
  std::vector<mfcc_t> lastMean_;   // the mean the last pass measured
};

}  // namespace quillmor_speech
