#include "device_wav_files.h"

#include <cstring>
#include <stdexcept>

namespace kssim::detail {

std::shared_ptr<const CaptureClip> ReadCaptureClip(const std::string& path)
{
    auto clip = std::make_shared<CaptureClip>();
    std::string error;
    if (!wav::ReadPcmFile(path, *clip, error)) {
        throw std::runtime_error(error);
    }
    // The generator loops the clip: it needs a frame to loop.
    if (clip->Frames() == 0) {
        throw std::runtime_error(path + ": no sample frames");
    }
    return clip;
}

std::vector<uint8_t> FmtChunkFor(const WAVEFORMATEX& format, const WAVEFORMATEXTENSIBLE* extensible)
{
    std::vector<uint8_t> chunk;
    if (extensible) {
        chunk.resize(sizeof(WAVEFORMATEXTENSIBLE));
        std::memcpy(chunk.data(), extensible, sizeof(WAVEFORMATEXTENSIBLE));
    } else {
        // PCMWAVEFORMAT: WAVEFORMATEX without cbSize.
        chunk.resize(16);
        std::memcpy(chunk.data(), &format, 16);
    }
    return chunk;
}

}  // namespace kssim::detail
