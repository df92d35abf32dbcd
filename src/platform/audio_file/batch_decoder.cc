#include "platform/audio_file/batch_decoder.h"

#include <cerrno>
#include <limits>
#include <new>
#include <system_error>

#include "platform/audio_file/channel_mix.h"

namespace quillmor_speech {

std::unique_ptr<BatchDecoder> BatchDecoder::start(const AudioInput& input, int workers) {
  std::unique_ptr<BatchDecoder> decoder(new (std::nothrow) BatchDecoder());
  if (!decoder) return nullptr;
  try {
    decoder->workers_.reserve(static_cast<std::size_t>(workers));  // no worker moves once started
    for (int i = 0; i < workers; ++i) {
      StatusOr<AVCodecContextPtr> codec = openAnotherDecoder(input);
      if (!codec) return nullptr;
      decoder->workers_.push_back(Worker{std::move(codec).value(), {}, 0, {}});
    }
    for (Worker& worker : decoder->workers_) {
      worker.thread = std::thread([d = decoder.get(), &worker] { d->work(worker); });
    }
  } catch (const std::system_error&) {
    return nullptr;  // the destructor joins the workers already started
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return decoder;
}

BatchDecoder::~BatchDecoder() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  submitted_.notifyAll();
  for (Worker& worker : workers_) {
    if (worker.thread.joinable()) worker.thread.join();
  }
}

bool BatchDecoder::hasRoom() const {
  MutexLock lock(mutex_);
  return batches_.size() < workers_.size() + 1;
}

bool BatchDecoder::idle() const {
  MutexLock lock(mutex_);
  return batches_.empty();
}

void BatchDecoder::submit(std::vector<AVPacketPtr> packets, int monoRate) {
  auto batch = std::make_unique<Batch>();
  batch->packets = std::move(packets);
  batch->monoRate = monoRate;
  batch->items.reserve(batch->packets.size());
  {
    MutexLock lock(mutex_);
    batches_.push_back(std::move(batch));
  }
  submitted_.notifyOne();
}

std::vector<DecodedItem> BatchDecoder::takeOldest() {
  std::unique_ptr<Batch> batch;
  {
    MutexLock lock(mutex_);
    if (batches_.empty()) return {};
    while (!batches_.front()->done) decoded_.wait(mutex_);
    batch = std::move(batches_.front());
    batches_.pop_front();
  }
  if (batch->outOfMemory) batch->items.push_back({nullptr, AVERROR(ENOMEM)});
  return std::move(batch->items);
}

BatchDecoder::Batch* BatchDecoder::firstWaiting() {
  for (const std::unique_ptr<Batch>& batch : batches_) {
    if (!batch->taken) return batch.get();
  }
  return nullptr;
}

void BatchDecoder::work(Worker& worker) {
  while (true) {
    Batch* batch = nullptr;
    {
      MutexLock lock(mutex_);
      while (!stopping_ && !(batch = firstWaiting())) submitted_.wait(mutex_);
      if (stopping_) return;
      batch->taken = true;
    }
    decodeBatch(worker, *batch);
    {
      MutexLock lock(mutex_);
      batch->done = true;
    }
    decoded_.notifyAll();
  }
}

void BatchDecoder::decodeBatch(Worker& worker, Batch& batch) {
  AVCodecContext* codec = worker.codec.get();
  try {
    AVFramePtr frame;
    for (AVPacketPtr& packet : batch.packets) {
      int rc = avcodec_send_packet(codec, packet.get());
      if (rc < 0 && rc != AVERROR(EAGAIN)) {
        batch.items.push_back({nullptr, rc});
        if (rc == AVERROR(ENOMEM)) return;
        continue;
      }
      // Every frame of the packet, as the caller's own decoder would hand them out. Failures
      // beyond the limit in a row end the file for the caller, so decoding stops there too.
      int failures = 0;
      while (true) {
        if (!frame) frame.reset(av_frame_alloc());
        if (!frame) {
          batch.items.push_back({nullptr, AVERROR(ENOMEM)});
          return;
        }
        rc = avcodec_receive_frame(codec, frame.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc == 0) {
          AVFramePtr out = outcome(worker, frame, batch.monoRate);
          if (!out) {
            batch.items.push_back({nullptr, AVERROR(ENOMEM)});
            return;
          }
          batch.items.push_back({std::move(out), 0});
          continue;
        }
        batch.items.push_back({nullptr, rc});
        if (rc == AVERROR(ENOMEM) || ++failures > kMaxConsecutiveFailures) return;
      }
    }
  } catch (const std::bad_alloc&) {
    batch.outOfMemory = true;
  }
}

AVFramePtr BatchDecoder::outcome(Worker& worker, AVFramePtr& frame, int monoRate) {
  // A mono frame needs no mixing; a frame too long for one buffer's size is left to the reader.
  if (monoRate <= 0 || frame->ch_layout.nb_channels < 2 || !mixesToMonoDirectly(*frame, monoRate) ||
      frame->nb_samples > std::numeric_limits<int>::max() / static_cast<int>(sizeof(float))) {
    return std::move(frame);
  }
  const int bytes = frame->nb_samples * static_cast<int>(sizeof(float));
  if (bytes > worker.monoBytes) {  // a larger frame than any before: a pool of its size
    worker.monoPool.reset(av_buffer_pool_init(static_cast<std::size_t>(bytes), nullptr));
    worker.monoBytes = worker.monoPool ? bytes : 0;
  }
  AVFramePtr mono(av_frame_alloc());
  if (mono) mono->buf[0] = worker.monoPool ? av_buffer_pool_get(worker.monoPool.get()) : nullptr;
  if (!mono || !mono->buf[0]) {
    av_frame_unref(frame.get());
    return nullptr;
  }
  mono->format = AV_SAMPLE_FMT_FLT;
  mono->sample_rate = frame->sample_rate;
  mono->nb_samples = frame->nb_samples;
  av_channel_layout_default(&mono->ch_layout, 1);
  mono->data[0] = mono->buf[0]->data;
  mono->extended_data = mono->data;
  mono->linesize[0] = bytes;
  meanOfChannels(*frame, reinterpret_cast<float*>(mono->data[0]));
  av_frame_unref(frame.get());  // its buffer goes back to the decoder's pool at once
  return mono;
}

}  // namespace quillmor_speech
