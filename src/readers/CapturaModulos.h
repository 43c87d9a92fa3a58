// Capture modules (reader plug-ins loaded at run time) and the capture devices
// they open. OMR modules export the flat OMR_* interface and are polled; FPSmm
// modules hand out a scanner object that pushes images by callback.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/modules.h"

#pragma pack(push, 1)
struct TOmrDeviceList {
  uint32_t NumDevices;
  char* SerialNumbers[1];
};
struct TOmrImageSize {
  int32_t Width;
  int32_t Height;
  int32_t ByteSize;
};
struct TOmrImage {
  TOmrImageSize Size;
  int32_t Format;
  int32_t Resolution;
  // Width x Height pixel bytes follow.
};
#pragma pack(pop)
static_assert(sizeof(TOmrDeviceList) == 12);
static_assert(sizeof(TOmrImageSize) == 12);
static_assert(sizeof(TOmrImage) == 20);

using TOmrCaptureHandle = void*;

class TOmCaptureDevice;

class TCaptureModule {
 public:
  // Loads the plug-in file; a file that does not load raises the EOSError
  // "System Error.  Code: %d.\r\n%s%s".
  TCaptureModule(const std::string& name, const std::string& path);
  virtual ~TCaptureModule();
  TCaptureModule(const TCaptureModule&) = delete;
  TCaptureModule& operator=(const TCaptureModule&) = delete;

  const std::string& Name() const { return FName; }
  const std::string& Path() const { return FPath; }
  const std::string& Prefix() const { return FPrefix; }

  virtual int32_t DeviceCount() = 0;
  // Appends serial numbers to lista; returns how many.
  virtual int32_t GetDeviceList(std::vector<std::string>& lista) = 0;
  // A new open device (owned by the caller), or an exception.
  virtual TOmCaptureDevice* OpenDevice(const std::string& serialNumber) = 0;

 protected:
  // Unloads the library exactly once (constructors that fail call it before raising).
  void Descarregar();
  std::string FName;
  std::string FPath;
  plat::ModuleHandle FHandle = nullptr;
  std::string FPrefix;
};

class TOmCaptureDevice {
 public:
  virtual ~TOmCaptureDevice();
  bool UseThread() const { return FUseThread; }
  bool Active() const { return FActive; }
  int32_t ImageWidth() const { return FImageWidth; }
  int32_t ImageHeight() const { return FImageHeight; }
  // First pixel (20 bytes past the TOmrImage header), or null without a buffer.
  uint8_t* ImageBuffer() const;
  // Called with the device each time a new image is in the buffer.
  std::function<void(TOmCaptureDevice* sender)> OnImage;

  virtual void Allocate() = 0;
  virtual bool WaitImage() = 0;
  virtual void Close() = 0;
  virtual std::string SendCommandStr(const std::string& command, const std::string& args, bool noHandle) = 0;

  void DoImage();
  void StoreImage(int32_t width, int32_t height, const uint8_t* pixels);

 protected:
  bool FActive = false;
  bool FUseThread = false;
  int32_t FImageWidth = 0;
  int32_t FImageHeight = 0;
  TOmrImage* FImageBuffer = nullptr;
};

class TOmrCaptureModule : public TCaptureModule {
 public:
  TOmrCaptureModule(const std::string& name, const std::string& path);
  int32_t DeviceCount() override;
  int32_t GetDeviceList(std::vector<std::string>& lista) override;
  TOmCaptureDevice* OpenDevice(const std::string& serialNumber) override;
  // ... pass-through calls and commands (see the implementation)
};

class TFPSmmCaptureModule : public TCaptureModule {
 public:
  TFPSmmCaptureModule(const std::string& name, const std::string& path);
  int32_t DeviceCount() override;
  int32_t GetDeviceList(std::vector<std::string>& lista) override;
  TOmCaptureDevice* OpenDevice(const std::string& serialNumber) override;
};
