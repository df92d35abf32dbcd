// The scripted test engine: a SpeechEngine whose every answer a scenario sets, so that tests can
// drive the paths a real recognizer cannot produce on demand. Used in-process by unit tests and,
// through the test-only binary quillmor-speech-scripted (scripted_main.cc, scenario file named
// by QUILLMOR_SCENARIO), by process-level tests.
//
// Scenario (JSON object; every key optional):
//
//   {
//     "available": true,                    // SpeechTranscriber.isAvailable
//     "statuses": {"en-US": "installed",    // AssetInventory status per locale text, exactly as
//                  "zh-CN": "downloadable"},// the transcriber was made: "unsupported",
//                                           // "supported" (or "downloadable"), "downloading",
//                                           // "installed", "other" (a value probe calls unknown)
//     "defaultStatus": "unsupported",       // for locales not listed
//     "operations": {                       // what each operation does, each an Operation:
//       "isAvailable": {...},               //   {"do": "succeed" | "none" | "throw" |
//       "status": {...},                    //          "throwLogicError" | "throwBadAlloc" |
//       "assetInstallationRequest": {...},  //          "throwInteger",
//       "downloadAndInstall": {...},        //    "description": "text of the thrown error",
//       "bestAvailableAudioFormat": {...},  //    "waitMs": 0}
//       "prepareToAnalyze": {...},          // waitMs is slept before acting. "none" means: no
//       "start": {...},                     // installation request, or no preferred format.
//       "finalize": {...}                   // "throw" throws SpeechError; operations that
//     },                                    // never fail ignore it. The other throws are
//                                           // failures no engine promises, thrown by every
//                                           // operation: std::logic_error(description),
//                                           // std::bad_alloc, and the int 7.
//                                           // Default: {"do": "succeed"}.
//                                           // cancel() ends downloadAndInstall's wait early,
//                                           // which then throws SpeechError "cancelled" (the
//                                           // record's calls show "cancel").
//     "format": {"commonFormat": 3,         // the preferred format when it is given: the
//                "sampleRate": 16000,       // AVAudioCommonFormat number, rate, channels and
//                "channels": 1,             // layout. Default: 16000 Hz int16 mono,
//                "interleaved": false},     // non-interleaved. null: no preferred format.
//     "results": [                          // delivered in this order
//       {"runs": [{"text": "hello", "confidence": 0.5}, {"text": " "}],  // "repeat": n
//                                           // in a run: its text n times over
//        "start": 0.5, "duration": 1.25,    // seconds; also "nan", "inf", "-inf"
//        "isFinal": true,
//        "afterBuffers": 2}                 // delivered once this many input buffers have
//     ],                                    // arrived (0: at start); without it, at
//                                           // finalisation. Results not yet delivered when the
//                                           // input ends are delivered at finalisation.
//     "failResults": {"afterResults": 1,    // the results sequence fails with this description
//                     "description": "..."},// once that many results were delivered
//     "record": "/path/record.json"         // where the engine writes what it received
//   }
//
// The record, rewritten after every engine operation and at the end of the input:
//   {"calls": ["isAvailable", "status zh-CN", "status en-US", "assetInstallationRequest en-US",
//              "downloadAndInstall", "bestAvailableAudioFormat en-US", "makeAnalyzer en-US",
//              "prepareToAnalyze", "start", "finalize"],
//    "transcriber": {"locale": "en-US", "volatileResults": true, "transcriptionConfidence": true},
//    "preparedFormat": {format} or null,
//    "buffers": 3, "frames": 4800,          // inputs received and their total frame length
//    "formats": [{format}, ...],            // the distinct buffer formats, in order of arrival
//    "samples": [...]}                      // channel 0 of every int16 buffer, concatenated
//
// Thread safety: as SpeechEngine; the record is shared between the engine, its analyzers and
// their worker threads under a lock.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

// An engine playing the scenario. Throws std::invalid_argument when the scenario is malformed.
std::unique_ptr<SpeechEngine> makeScriptedEngine(const nlohmann::json& scenario);

// The scenario in the file; throws std::invalid_argument when it cannot be read or parsed.
nlohmann::json readScenarioFile(const std::string& path);

}  // namespace quillmor_speech
