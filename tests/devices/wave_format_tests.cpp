#include "wave_format.h"

#include <gtest/gtest.h>

TEST(WaveFormat, StereoRenderRequestIsExtensiblePcm)
{
    const WAVEFORMATEXTENSIBLE f = MakeRequestedFormat(2, 44100, 16, StreamDirection::Render);
    EXPECT_EQ(f.Format.wFormatTag, 0xFFFE);
    EXPECT_EQ(f.Format.nChannels, 2);
    EXPECT_EQ(f.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(f.Format.nBlockAlign, 4);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(f.Format.wBitsPerSample, 16);
    EXPECT_EQ(f.Format.cbSize, 22);
    EXPECT_EQ(f.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(f.dwChannelMask, 3u);
    EXPECT_TRUE(IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
}

TEST(WaveFormat, OneChannelIsFrontCenter)
{
    const WAVEFORMATEXTENSIBLE f = MakeRequestedFormat(1, 48000, 16, StreamDirection::Render);
    EXPECT_EQ(f.dwChannelMask, 4u);
    EXPECT_EQ(f.Format.nBlockAlign, 2);
    EXPECT_EQ(MakeRequestedFormat(0, 48000, 16, StreamDirection::Render).dwChannelMask, 4u);
}

TEST(WaveFormat, MoreThanTwoChannelsGetTheFourCornerSpeakers)
{
    EXPECT_EQ(MakeRequestedFormat(6, 48000, 16, StreamDirection::Render).dwChannelMask, 0x33u);
    EXPECT_EQ(MakeRequestedFormat(3, 48000, 16, StreamDirection::Capture).dwChannelMask, 0x33u);
    EXPECT_EQ(MakeRequestedFormat(6, 48000, 16, StreamDirection::Render).Format.nBlockAlign, 12);
}

TEST(WaveFormat, TwentyFourBitsValidForRenderButSixteenForCapture)
{
    const WAVEFORMATEXTENSIBLE render = MakeRequestedFormat(2, 48000, 24, StreamDirection::Render);
    const WAVEFORMATEXTENSIBLE capture = MakeRequestedFormat(2, 48000, 24, StreamDirection::Capture);
    EXPECT_EQ(render.Format.nBlockAlign, 6);
    EXPECT_EQ(render.Format.nAvgBytesPerSec, 288000u);
    EXPECT_EQ(render.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(capture.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(capture.Format.wBitsPerSample, 24);
}

TEST(WaveFormat, BlockAlignIsComputedInSixteenBits)
{
    // 4 bytes x 20000 channels = 80000, kept to 16 bits.
    EXPECT_EQ(MakeRequestedFormat(20000, 8000, 32, StreamDirection::Render).Format.nBlockAlign,
              static_cast<WORD>(80000));
}

TEST(WaveFormat, RenderFallbackIsPlainPcmWithCbSize18)
{
    WAVEFORMATEXTENSIBLE f = MakeRequestedFormat(2, 44100, 16, StreamDirection::Render);
    UseFallbackFormat(f, StreamDirection::Render);
    EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(f.Format.cbSize, 18);
    EXPECT_EQ(f.Samples.wValidBitsPerSample, 0);
    EXPECT_EQ(f.dwChannelMask, 0u);
    EXPECT_TRUE(IsEqualGUID(f.SubFormat, GUID_NULL));
    EXPECT_EQ(f.Format.nBlockAlign, 4);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 176400u);
}

TEST(WaveFormat, CaptureFallbackHasCbSize0)
{
    WAVEFORMATEXTENSIBLE f = MakeRequestedFormat(2, 44100, 16, StreamDirection::Capture);
    UseFallbackFormat(f, StreamDirection::Capture);
    EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(f.Format.cbSize, 0);
    EXPECT_TRUE(IsEqualGUID(f.SubFormat, GUID_NULL));
}
