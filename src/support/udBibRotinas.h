// Runtime helpers: the plug-in result check, the folders of the host program
// and of this library, and the field splitter used on reader identifiers.
#pragma once
#include <cstdint>
#include <string>

// A negative result of a reader plug-in function raises "Erro %d".
void ChecarErro(int32_t codigo);

// Folder of the host program's executable, with its trailing separator,
// followed by nome.
std::string PegPastaPrograma(const std::string& nome = "");
// Folder of the dactylink library file itself, with its trailing separator,
// followed by nome.
std::string PegPastaBiblioteca(const std::string& nome = "");

// String logic behind PegPastaBiblioteca, exposed for tests on every platform:
// drops a leading "\\?\" and turns "UNC\server\..." into "\\server\...".
std::string NormalizarCaminhoModulo(const std::string& caminho);
// The folder part of a path, ending with its separator ("" when there is none).
// `delimitadores` are the characters that end a folder ("\\:" on Windows, "/" on POSIX).
std::string ExtrairPasta(const std::string& caminho, const char* delimitadores);
// The platform's folder delimiters for ExtrairPasta.
const char* DelimitadoresPasta();
// Adds the platform's path delimiter when missing.
std::string IncluirDelimitador(const std::string& pasta);

// Returns the first field of texto up to separador and replaces texto by the rest.
std::string ExtrairCampo(std::string& texto, const std::string& separador);
// Trims a field: quoted texts lose their quotes, others their blanks and control characters.
std::string LimparCampo(const std::string& campo);

bool TextosIguaisSemCaixa(const std::string& a, const std::string& b);
std::string MinusculasAscii(std::string s);
