// Reading registry values, and the image log switch built on it. On Windows
// the values are written with reg.exe; on POSIX into the folder tree named by
// DACTYLINK_REGISTRY.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "extraction/udOmfwFingers.h"
#include "platform/registry.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;
using plat::RegistryRoot;

namespace {

constexpr const char* kChaveTeste = "Software\\dactylink-tests\\registry";

#if defined(_WIN32)
void Executar(const std::string& comando) { ASSERT_EQ(std::system(comando.c_str()), 0) << comando; }

class Registro : public ::testing::Test {
 protected:
  void TearDown() override {
    std::system("reg delete \"HKCU\\Software\\dactylink-tests\" /f >NUL 2>&1");
    std::system("reg delete \"HKCU\\Software\\Ardivex BR\\dactylink\" /v SI /f >NUL 2>&1");
  }
  // tipo: "dword:<n>" or "sz:<text>" (as the POSIX tree stores it), or "bin:<hex>".
  void Gravar(const std::string& chave, const std::string& nome, const std::string& valor) {
    const size_t p = valor.find(':');
    const std::string tipo = valor.substr(0, p), dado = valor.substr(p + 1);
    const char* t = tipo == "dword" ? "REG_DWORD" : tipo == "sz" ? "REG_SZ" : "REG_BINARY";
    const std::string k = chave.substr(chave.find_first_not_of('\\'));
    Executar("reg add \"HKCU\\" + k + "\" /v \"" + nome + "\" /t " + t + " /d \"" + dado + "\" /f >NUL");
  }
};
#else
class Registro : public ::testing::Test {
 protected:
  void SetUp() override {
    raiz_ = fs::temp_directory_path() / "dl-registry-tests";
    fs::remove_all(raiz_);
    setenv("DACTYLINK_REGISTRY", raiz_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("DACTYLINK_REGISTRY");
    fs::remove_all(raiz_);
  }
  void Gravar(const std::string& chave, const std::string& nome, const std::string& valor) {
    fs::path p = raiz_ / "HKEY_CURRENT_USER";
    std::string parte;
    for (char c : chave + "\\") {
      if (c != '\\') {
        parte += c;
      } else if (!parte.empty()) {
        p /= parte;
        parte.clear();
      }
    }
    fs::create_directories(p);
    std::ofstream(p / nome, std::ios::binary) << valor;
  }
  fs::path raiz_;
};
#endif

}  // namespace

TEST_F(Registro, DwordAndStringValues) {
  Gravar(kChaveTeste, "um", "dword:1");
  Gravar(kChaveTeste, "hex", "dword:0x2a");
  Gravar(kChaveTeste, "texto", "sz:Maquina 7");
  EXPECT_EQ(plat::ReadRegistryDword(RegistryRoot::CurrentUser, kChaveTeste, "um"), 1u);
  EXPECT_EQ(plat::ReadRegistryDword(RegistryRoot::CurrentUser, std::string("\\") + kChaveTeste, "hex"), 42u);
  EXPECT_EQ(plat::ReadRegistryString(RegistryRoot::CurrentUser, kChaveTeste, "texto"), "Maquina 7");
  // The wrong type, a missing value, a missing key, or another root: nothing.
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::CurrentUser, kChaveTeste, "texto"));
  EXPECT_FALSE(plat::ReadRegistryString(RegistryRoot::CurrentUser, kChaveTeste, "um"));
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::CurrentUser, kChaveTeste, "absent"));
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::CurrentUser, "Software\\dactylink-tests\\none", "um"));
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::LocalMachine, kChaveTeste, "um"));
}

#if !defined(_WIN32)
TEST_F(Registro, TreeFilesAreParsedStrictly) {
  Gravar(kChaveTeste, "linha", "dword:7\n");
  Gravar(kChaveTeste, "crlf", "sz:abc\r\n");
  Gravar(kChaveTeste, "letras", "dword:12a");
  Gravar(kChaveTeste, "grande", "dword:4294967296");
  Gravar(kChaveTeste, "maximo", "dword:0xFFFFFFFF");
  Gravar(kChaveTeste, "vazio", "dword:");
  Gravar(kChaveTeste, "binario", "hex:01");
  Gravar(kChaveTeste, "@", "sz:default");
  EXPECT_EQ(plat::ReadRegistryDword(RegistryRoot::CurrentUser, kChaveTeste, "linha"), 7u);
  EXPECT_EQ(plat::ReadRegistryString(RegistryRoot::CurrentUser, kChaveTeste, "crlf"), "abc");
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::CurrentUser, kChaveTeste, "letras"));
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::CurrentUser, kChaveTeste, "grande"));
  EXPECT_EQ(plat::ReadRegistryDword(RegistryRoot::CurrentUser, kChaveTeste, "maximo"), 0xFFFFFFFFu);
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::CurrentUser, kChaveTeste, "vazio"));
  EXPECT_FALSE(plat::ReadRegistryString(RegistryRoot::CurrentUser, kChaveTeste, "binario"));
  EXPECT_EQ(plat::ReadRegistryString(RegistryRoot::CurrentUser, kChaveTeste, ""), "default");
  // Names cannot climb out of their key.
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::CurrentUser, "Software\\..\\Software\\dactylink-tests\\registry", "linha"));
  EXPECT_FALSE(plat::ReadRegistryDword(RegistryRoot::CurrentUser, "Software", "dactylink-tests/registry/linha"));
}
#endif

#if defined(_WIN32)
// Nothing forces a string's byte count to be even: the whole characters are read.
TEST_F(Registro, AStringOfAnOddByteCountIsRead) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\dactylink-tests\\registry", 0, nullptr, 0, KEY_WRITE,
                            nullptr, &k, nullptr),
            ERROR_SUCCESS);
  const wchar_t texto[] = L"abc";
  ASSERT_EQ(RegSetValueExW(k, L"impar", 0, REG_SZ, reinterpret_cast<const BYTE*>(texto), 7), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(plat::ReadRegistryString(RegistryRoot::CurrentUser, kChaveTeste, "impar"), "abc");
}
#endif

TEST_F(Registro, ImageLogSwitch) {
  EXPECT_FALSE(LogImagensLigado()) << "no key: off";
  Gravar(kChaveLogImagens, kValorLogImagens, "dword:1");
  EXPECT_TRUE(LogImagensLigado());
  Gravar(kChaveLogImagens, kValorLogImagens, "dword:2");
  EXPECT_FALSE(LogImagensLigado());
  Gravar(kChaveLogImagens, kValorLogImagens, "dword:0");
  EXPECT_FALSE(LogImagensLigado());
  Gravar(kChaveLogImagens, kValorLogImagens, "sz:1");
  EXPECT_FALSE(LogImagensLigado()) << "a string 1 is not the integer 1";
}
