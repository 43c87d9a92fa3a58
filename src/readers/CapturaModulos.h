// Capture modules (reader plug-ins loaded at run time) and the capture devices
// they open. OMR modules export the flat OMR_* interface and are polled; FPSmm
// modules hand out a scanner object that pushes images by callback.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/callconv.h"
#include "platform/modules.h"
#include <cstddef>

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

// The OMR_* exports as the host calls them.
using TFuncOMR_GetPrefix = const char*(DL_STDCALL*)();
using TFuncOMR_GetDeviceList = int32_t(DL_STDCALL*)(TOmrDeviceList* pBuffer, int32_t size);
using TFuncOMR_OpenDevice = TOmrCaptureHandle(DL_STDCALL*)(const char* serialNumber);
using TFuncOMR_CloseDevice = uint8_t(DL_STDCALL*)(TOmrCaptureHandle handle);
using TFuncOMR_GetMaxSize = uint8_t(DL_STDCALL*)(TOmrCaptureHandle handle, TOmrImageSize* pSize);
using TFuncOMR_GetImage = uint8_t(DL_STDCALL*)(TOmrCaptureHandle handle, TOmrImage* pImage);
using TFuncOMR_SendCommand = int32_t(DL_STDCALL*)(TOmrCaptureHandle handle, const char* pCommand, const void* pArgs);
using TFuncOMR_GetResult = int32_t(DL_STDCALL*)(TOmrCaptureHandle handle, void* pResult, int32_t size);

// The scanner object of an FPSmm plug-in and its table of operations.
struct TFPSmmScannerImpl;
using PFPSmmScannerImpl = TFPSmmScannerImpl*;
using TFPSmmImageCallback = void(DL_STDCALL*)(void* context, int32_t width, int32_t height, const uint8_t* pixels);
using TFPSmmOtherCallback = void(DL_STDCALL*)(void* context, int32_t value);
using TFPSmmFuncSimples = int32_t(DL_STDCALL*)(PFPSmmScannerImpl self);
using TFPSmmFuncInitScanner = int32_t(DL_STDCALL*)(PFPSmmScannerImpl self, const char16_t* id);
using TFPSmmFuncSetCallbacks = int32_t(DL_STDCALL*)(PFPSmmScannerImpl self, void* context, TFPSmmImageCallback image,
                                                    TFPSmmOtherCallback second, TFPSmmOtherCallback third);
using TFPSmmFuncSetSomething = int32_t(DL_STDCALL*)(PFPSmmScannerImpl self, int32_t value);

#pragma pack(push, 1)
struct TFPSmmScannerVMT {
  TFPSmmFuncSimples Destroy;
  void* func0x04;
  void* func0x08;
  TFPSmmFuncSimples StartCapture;
  TFPSmmFuncSimples StopCapture;
  void* func0x14;
  void* func0x18;
  void* func0x1c;
  void* func0x20;
  TFPSmmFuncInitScanner InitScanner;
  TFPSmmFuncSetCallbacks SetCallbacks;
  TFPSmmFuncSetSomething SetSomething;
};
struct TFPSmmScannerImpl {
  TFPSmmScannerVMT* pVMT;
  uint32_t something;
  uint32_t maxWidth;
  uint32_t maxHeight;
};
#pragma pack(pop)
static_assert(offsetof(TFPSmmScannerVMT, Destroy) == 0);
static_assert(offsetof(TFPSmmScannerVMT, func0x04) == 8);
static_assert(offsetof(TFPSmmScannerVMT, func0x08) == 16);
static_assert(offsetof(TFPSmmScannerVMT, StartCapture) == 24);
static_assert(offsetof(TFPSmmScannerVMT, StopCapture) == 32);
static_assert(offsetof(TFPSmmScannerVMT, func0x14) == 40);
static_assert(offsetof(TFPSmmScannerVMT, func0x18) == 48);
static_assert(offsetof(TFPSmmScannerVMT, func0x1c) == 56);
static_assert(offsetof(TFPSmmScannerVMT, func0x20) == 64);
static_assert(offsetof(TFPSmmScannerVMT, InitScanner) == 72);
static_assert(offsetof(TFPSmmScannerVMT, SetCallbacks) == 80);
static_assert(offsetof(TFPSmmScannerVMT, SetSomething) == 88);
static_assert(sizeof(TFPSmmScannerVMT) == 96);
static_assert(offsetof(TFPSmmScannerImpl, pVMT) == 0);
static_assert(offsetof(TFPSmmScannerImpl, something) == 8);
static_assert(offsetof(TFPSmmScannerImpl, maxWidth) == 12);
static_assert(offsetof(TFPSmmScannerImpl, maxHeight) == 16);
static_assert(sizeof(TFPSmmScannerImpl) == 20);

// Checks a device list of `size` bytes filled by OMR_GetDeviceList and returns
// its strings (still in the plug-in's 8-bit code page). Pointers in the list are
// absolute; `enderecoBase` is the address the plug-in saw as the buffer's start
// (the buffer's own address, except in tests). Reads only the `size` bytes.
// A malformed list raises "<modulo>: GDL: Size error(<step>): ...".
std::vector<std::string> ValidarListaDispositivos(const uint8_t* buffer, int32_t size, uintptr_t enderecoBase,
                                                  const std::string& modulo);
// Serial number formed from a module prefix and the plug-in's own text.
std::string FormarNumeroSerie(const std::string& prefixo, const std::string& texto);

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
  // Pushing plug-ins start delivering inside OpenDevice, before the owner
  // has set its handler, so the handler is set and read under a lock.
  class TEventoImagem {
   public:
    using Funcao = std::function<void(TOmCaptureDevice* sender)>;
    TEventoImagem& operator=(Funcao f) {
      std::lock_guard<std::mutex> g(FTrava);
      FFuncao = std::move(f);
      return *this;
    }
    Funcao Copia() const {
      std::lock_guard<std::mutex> g(FTrava);
      return FFuncao;
    }
    explicit operator bool() const { return static_cast<bool>(Copia()); }

   private:
    mutable std::mutex FTrava;
    Funcao FFuncao;
  };
  TEventoImagem OnImage;

  virtual void Allocate() = 0;
  virtual bool WaitImage() = 0;
  virtual void Close() = 0;
  virtual std::string SendCommandStr(const std::string& command, const std::string& args, bool noHandle) = 0;

  void DoImage();
  void StoreImage(int32_t width, int32_t height, const uint8_t* pixels);

 protected:
  // Read by the capture thread while Close runs on the owner's thread.
  std::atomic<bool> FActive{false};
  bool FUseThread = false;
  int32_t FImageWidth = 0;
  int32_t FImageHeight = 0;

  // Replaces the buffer by a new one of `bytes` pixel bytes, and returns it.
  std::shared_ptr<TOmrImage> TrocarBuffer(int64_t bytes);
  // Drops the device's hold on the buffer.
  void LiberarBuffer();
  // The buffer as the device holds it (null without one).
  TOmrImage* Buffer() const;
  std::mutex FEntrega;  // one pushed image (store and hand-off) at a time

 private:
  // The buffer is shared: a handler running on another thread keeps the one
  // it was given (ImageBuffer() answers it there) until it returns, whatever
  // the device does meanwhile; the last holder frees it.
  std::shared_ptr<TOmrImage> BufferCompartilhado() const;
  void Entregar(const std::shared_ptr<TOmrImage>& buffer);
  mutable std::mutex FTravaBuffer;
  std::shared_ptr<TOmrImage> FImageBuffer;
};

class TOmrCaptureModule : public TCaptureModule {
 public:
  TOmrCaptureModule(const std::string& name, const std::string& path);
  int32_t DeviceCount() override;
  int32_t GetDeviceList(std::vector<std::string>& lista) override;
  TOmCaptureDevice* OpenDevice(const std::string& serialNumber) override;
  // ... pass-through calls and commands (see the implementation)

  bool CloseDevice(TOmrCaptureHandle handle);
  bool ShutdownDevice(TOmrCaptureHandle handle);
  bool GetMaxImageSize(TOmrCaptureHandle handle, TOmrImageSize& size);
  bool GetImage(TOmrCaptureHandle handle, TOmrImage* image);
  std::vector<uint8_t> SendCommandBytes(TOmrCaptureHandle handle, const std::string& command, const std::string& args);
  std::string SendCommandStr(TOmrCaptureHandle handle, const std::string& command, const std::string& args);

 private:
  void* Ligar(const char* nome, unsigned bytesArgumentos);
  TFuncOMR_GetPrefix FOMR_GetPrefix = nullptr;
  TFuncOMR_GetDeviceList FOMR_GetDeviceList = nullptr;
  TFuncOMR_OpenDevice FOMR_OpenDevice = nullptr;
  TFuncOMR_CloseDevice FOMR_CloseDevice = nullptr;
  TFuncOMR_CloseDevice FOMR_ShutdownDevice = nullptr;
  TFuncOMR_GetMaxSize FOMR_GetMaxSize = nullptr;
  TFuncOMR_GetImage FOMR_GetImage = nullptr;
  TFuncOMR_SendCommand FOMR_SendCommand = nullptr;
  TFuncOMR_GetResult FOMR_GetResult = nullptr;
};

class TFPSmmCaptureModule : public TCaptureModule {
 public:
  TFPSmmCaptureModule(const std::string& name, const std::string& path);
  int32_t DeviceCount() override;
  int32_t GetDeviceList(std::vector<std::string>& lista) override;
  TOmCaptureDevice* OpenDevice(const std::string& serialNumber) override;

  using TProcInit = int32_t(DL_STDCALL*)();
  using TProcGetDeviceCount = int32_t(DL_STDCALL*)(int32_t* count);
  using TProcEnumDeviceIDs = int32_t(DL_STDCALL*)(int32_t count, char16_t** ids, int32_t* written);
  using TProcCreateScannerImpl = int32_t(DL_STDCALL*)(PFPSmmScannerImpl* impl);

 private:
  std::vector<std::u16string> FIds;
  TProcInit FProcInit = nullptr;
  TProcGetDeviceCount FProcGetDeviceCount = nullptr;
  TProcEnumDeviceIDs FProcEnumDeviceIDs = nullptr;
  TProcCreateScannerImpl FProcCreateScannerImpl = nullptr;
};

class TOmrCaptureDeviceImpl : public TOmCaptureDevice {
 public:
  TOmrCaptureDeviceImpl(TOmrCaptureModule* modulo, TOmrCaptureHandle handle);
  ~TOmrCaptureDeviceImpl() override;
  void Allocate() override;
  bool WaitImage() override;
  void Close() override;
  std::string SendCommandStr(const std::string& command, const std::string& args, bool noHandle) override;

 private:
  std::mutex FBloqueio;
  TOmrCaptureModule* FModulo;
  std::atomic<TOmrCaptureHandle> FHandle;
  int64_t FBytesAlocados = 0;  // pixel bytes the buffer holds
};

class TFPsmmCaptureDeviceImpl : public TOmCaptureDevice {
 public:
  TFPsmmCaptureDeviceImpl(TFPSmmCaptureModule* modulo, PFPSmmScannerImpl impl);
  ~TFPsmmCaptureDeviceImpl() override;
  void Allocate() override;
  bool WaitImage() override { return false; }
  void Close() override;
  std::string SendCommandStr(const std::string&, const std::string&, bool) override { return {}; }
  void BeginCapture();
  void EndCapture();

 private:
  std::mutex FBloqueio;
  TFPSmmCaptureModule* FModulo;
  PFPSmmScannerImpl FImpl;
  bool FIsCapturing = false;
  // What the plug-in gets as its callback context: a number never handed out
  // twice, looked up among the live devices on each callback (0: none).
  uintptr_t FContexto = 0;
};
