#pragma once

// Trace texts of the device set. The Chinese ones are code page 936 (GBK)
// bytes, as every text the driver shows or traces.
namespace DeviceTexts {

// Formats of the errors caught at the edge of an operation.
inline constexpr const char* kEnumerationError = "\nError: %s. hr = 0x%08x/n/n";
inline constexpr const char* kOpenRenderError = "Error: %s. hr = 0x%08x/n/n";
inline constexpr const char* kOpenCaptureError = "\nError: %s. hr = 0x%08x/n/n";
inline constexpr const char* kPinOpenError = "\nhr = 0x%08x/n/n";
inline constexpr const char* kStreamError = "Error: %s.  hr = 0x%08x\n\n";

// "分配内核流过滤器失败"
inline constexpr const char* kEnumeratorAllocationFailed =
    "\xb7\xd6\xc5\xe4\xc4\xda\xba\xcb\xc1\xf7\xb9\xfd\xc2\xcb\xc6\xf7\xca\xa7\xb0\xdc";
inline constexpr const char* kEnumFiltersFailed = "CKsEnumFilters::EnumFilters failed";

inline constexpr const char* kRenderDeviceOpened = "%s ==> %s L = %d R = %d";
// The format a device was opened with: its name, the format, the layout asked with.
inline constexpr const char* kFormatTaken = "%s: opened with %s (%s)\n";
// "打开输出设备,输出声道数量:%d"
inline constexpr const char* kRenderDevicesOpened =
    "\xb4\xf2\xbf\xaa\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8,\xca\xe4\xb3\xf6\xc9\xf9\xb5\xc0\xca\xfd\xc1\xbf:%d";
// "\n关闭Asio输出设备", "\n关闭Asio输入设备"
inline constexpr const char* kRenderDevicesClosed = "\n\xb9\xd8\xb1\xd5" "Asio\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8";
inline constexpr const char* kCaptureDevicesClosed = "\n\xb9\xd8\xb1\xd5" "Asio\xca\xe4\xc8\xeb\xc9\xe8\xb1\xb8";

// Stream errors.
inline constexpr const char* kWriteFailed = "Failed to write to Pin!!!";
inline constexpr const char* kNoRenderPin = "CKsAudRenPin Allocation failure";
inline constexpr const char* kNoRenderData = "PinWriteData->pBuffer Allocation failure";
inline constexpr const char* kRenderPinBusy = "PinWriteData->pin still holds the earlier blocks";
inline constexpr const char* kRenderBlockInvalid = "PinWriteData->byteCount or blockFrames invalid";
inline constexpr const char* kRequestsNotGivenBack = "PinWriteData->queued requests not given back";
inline constexpr const char* kRenderMemoryShort = "PinWriteData->stream requests Allocation failure";
inline constexpr const char* kNoCapturePin = "PinReadData->CapPin Allocation failure";
inline constexpr const char* kNoCaptureBuffer = "PinReadData->pBuffer Allocation failure";
inline constexpr const char* kNoCaptureRequest = "PinReadData->capture request missing";
inline constexpr const char* kCaptureReadStuck = "PinReadData->earlier read not given back";
inline constexpr const char* kCaptureMemoryShort = "PinReadData->sample buffer Allocation failure";

// Devices an open leaves out, with the unique name.
inline constexpr const char* kDeviceSkipped = "%s: %s, device skipped";
inline constexpr const char* kSkipDepth = "BitSpersample cannot be streamed";
inline constexpr const char* kSkipChannels = "channel count out of range";
inline constexpr const char* kSkipNoRange = "no audio data range";
inline constexpr const char* kSkipNoRequest = "no capture request left";
inline constexpr const char* kSkipMemory = "out of memory";
inline constexpr const char* kRequestsHeld = "%s: the pin did not give back its requests, their memory is kept";

}  // namespace DeviceTexts
