#include "readers/OmbrelBase.h"

#include <chrono>

#include "readers/OmbrelFP.h"

bool TOmbrelBase::PegInformacao2(int32_t id, std::string& codigo, int32_t& indDedo, TDateTime& dataCadastro,
                                 TDateTime& dataUltimoReconhecimento, int32_t& numReconhecimentos) {
  bool r = PegInformacao(id, codigo, indDedo);
  if (r) {
    dataCadastro = 0;
    dataUltimoReconhecimento = 0;
    numReconhecimentos = 0;
  }
  return r;
}

int32_t TOmbrelBase::IdentificarExternoImagem(TGrayImage* /*imagem*/, const std::string& /*extra*/,
                                              std::string& codigo, int32_t& /*indDedo*/, int32_t& retorno) {
  codigo.clear();
  retorno = 0;
  throw EOmbrelFP("Método não suportado");
}

std::string TOmbrelBase::ExecutarExterno(const std::string& /*comando*/) { throw EOmbrelFP("Método não suportado"); }

std::unique_ptr<TTemplateBase> TOmbrelBase::CriarTemplate(const std::string& /*templateStr*/, int32_t /*formato*/) {
  return nullptr;
}

TThreadPesquisa::TThreadPesquisa(TOmbrelFP* neoFP) : FNeoFP(neoFP) { Start(); }

TThreadPesquisa::~TThreadPesquisa() {
  Terminate();
  FEventoInicio.Sinalizar();
  WaitFor();
}

void TThreadPesquisa::Execute() {
  while (!Terminated()) {
    FEventoInicio.Esperar();
    if (Terminated()) break;
    FErroPesquisa = false;
    auto inicio = std::chrono::steady_clock::now();
    std::unique_ptr<TTemplateBase> modelo;
    try {
      TOmbrelBase* base = FNeoFP->Base();
      if (!base) throw EOmbrelFP("Operação requer ativar a base de impressões.");
      if (FImagem) {
        FId = base->PesquisarImagem2(FImagem.get(), FCodigo, FIndDedo, nullptr);
      } else {
        modelo = base->CriarTemplate(FTemplate, FFormatoTemplate);
        FId = base->PesquisarImpressao(modelo.get(), FCodigo, FIndDedo, nullptr);
      }
      FNeoFP->FUltimaPontuacao = base->GetUltimaPontuacao();
      FNeoFP->FTempoPesquisa = std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
    } catch (const std::exception& e) {
      FErroPesquisa = true;
      FMensagemErroPesquisa = e.what();
    } catch (...) {
      FErroPesquisa = true;
      FMensagemErroPesquisa = "Unknown failure";
    }
    FImagem.reset();
    // The results are read by FimPesquisa on this thread before the next
    // search can start, because that search first waits for FEventoFim and
    // then for this loop to come round again.
    bool erro = FErroPesquisa;
    std::string mensagem = FMensagemErroPesquisa;
    int32_t id = FId;
    std::string codigo = FCodigo;
    int32_t indDedo = FIndDedo;
    FEventoFim.Sinalizar();
    modelo.reset();
    try {
      FNeoFP->FimPesquisa(erro, mensagem, id, codigo, indDedo);
    } catch (...) {
      // A failing handler must not end the worker.
    }
  }
}
