// How much of a stretch of audio is held tones: the mark of music (sustained notes and chords,
// with or without drums), which the acoustic model otherwise hears as words.
//
// The audio is cut into 32 ms frames every 10 ms; a frame is held when its magnitude spectrum
// is nearly the one of 30 ms before it (cosine similarity above 0.9). Speech changes its
// spectrum with every sound, so its held frames come in short runs; a note keeps it for as long
// as it sounds. The share counts only runs of at least 80 ms, over the frames within 30 dB of the
// loudest (so that the silence around an utterance does not count). Measured with the field
// bench: the testdata clips, clean, at -34 dB, with white or pink noise or another voice mixed
// in, stay at or below 0.3; synthetic music (notes, chords, arpeggios of eight notes a second,
// vibrato, drums, a sweep) is at or above 0.55. White, pink and brown noise stay near 0.
//
// Thread safety: a plain function.
#pragma once

#include <cstdint>
#include <span>

namespace quillmor_speech {

// The share (0 to 1) of the loud frames of the samples (16 kHz mono) that lie in runs of held
// spectrum; 0 when fewer than 20 frames are loud, or when the transform cannot be set up.
double heldToneShare(std::span<const std::int16_t> samples);

}  // namespace quillmor_speech
