// A fingerprint base for tests: answers are scripted by the test, calls are counted.
#pragma once
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "readers/OmbrelBase.h"

class TBaseTeste : public TOmbrelBase {
 public:
  std::atomic<bool> ativo{true};
  std::atomic<bool> leitorValido{true};
  // Enrolment: merged answer and thresholds; an existing print.
  bool uniu = true;
  int32_t limiarUniu = 50, limiar1paraN = 40;
  bool existente = false;
  // Search: the id found (0 none), the score, a failure message, a delay.
  std::atomic<int32_t> idEncontrado{0};
  std::atomic<int32_t> pontuacao{77};
  std::string falhaPesquisa;
  std::atomic<int> atrasoPesquisaMs{0};
  std::atomic<int> pesquisas{0};
  std::atomic<int> reinicios{0};
  std::atomic<int> imagensCadastro{0};
  std::atomic<bool> pesquisando{false};

  bool GetAtivo() override { return ativo; }
  void SetAtivo(bool v) override { ativo = v; }
  int32_t GetNumImpressoes() override { return 0; }
  int32_t GetUltimaPontuacao() override { return pontuacao; }
  bool GetQualidadeRuim() override { return false; }

  int32_t AdicionarImagem(TGrayImage*, const std::string&, int32_t, TVerificadorFPBase*) override { return 0; }
  int32_t PesquisarImagem2(TGrayImage* img, std::string& codigo, int32_t& indDedo, TVerificadorFPBase*) override {
    pesquisando = true;
    if (atrasoPesquisaMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(atrasoPesquisaMs.load()));
    ++pesquisas;
    pesquisando = false;
    if (!falhaPesquisa.empty()) throw EOmbrelFP(falhaPesquisa);
    if (!img || img->Width <= 0) throw EOmbrelFP("no image");
    if (idEncontrado != 0) {
      codigo = "pessoa-" + std::to_string(idEncontrado.load());
      indDedo = 3;
    }
    return idEncontrado;
  }
  bool Excluir(int32_t) override { return false; }
  bool PegInformacao(int32_t id, std::string& codigo, int32_t& indDedo) override {
    if (id != 5) return false;
    codigo = "cinco";
    indDedo = 2;
    return true;
  }
  bool PegImpressao(int32_t, int32_t&, std::string&, int32_t&) override { return false; }
  int32_t ExcluirImpressoesCodigo(const std::string&) override { return 0; }
  int32_t NumImpressoesCodigo(const std::string&) override { return 0; }
  TVetorIdInfo IdsInfoParaCodigo(const std::string&, int32_t) override { return {}; }
  TVetorInfoHashes PegHashesParalela(const std::string&, TFormatoTemplate) override { return {}; }
  void CompactarBase() override {}
  bool AdicionarImagemCadastro(TGrayImage*) override { return false; }
  bool AdicionarImagemCadastroP6(TGrayImage*, int32_t& lu, int32_t& l1) override {
    ++imagensCadastro;
    lu = limiarUniu;
    l1 = limiar1paraN;
    return uniu;
  }
  bool AdicionarImpressaoCadastro(TTemplateBase*, TTemplateBase*, int32_t&, int32_t&) override { return false; }
  void ReiniciarCadastro() override { ++reinicios; }
  int32_t AdicionarImpressaoUnida(const std::string&, int32_t) override { return 0; }
  void AdicionarImpressaoRuim(const std::string&, int32_t, int32_t&, int32_t&, int32_t&) override {}
  bool PesquisarImpressaoUnida(int32_t& id, std::string& codigo, int32_t& indDedo) override {
    if (!existente) return false;
    id = 9;
    codigo = "ja-existe";
    indDedo = 1;
    return true;
  }
  bool LeitorValido(const std::string&) override { return leitorValido; }
  bool PesquisarInterno(int32_t, int32_t&, int32_t&, int32_t&) override { return false; }
  TVetorResultadoImagemRuim PesquisarImagemRuim(TGrayImage*) override { return {}; }
  int32_t VerificarImagem(TGrayImage*, const std::string&, int32_t, TVerificadorFPBase*) override { return 0; }
  int32_t VerificarImpressao(TTemplateBase*, const std::string&, int32_t, TVerificadorFPBase*) override { return 0; }
  bool VerificarIds(int32_t, int32_t, int32_t&, int32_t&, int32_t&, int32_t&, int32_t&, int32_t&, int32_t&,
                    TVerificadorFPBase*) override {
    return false;
  }
  bool AssociarTextoCodigo(const std::string&, const std::string&) override { return false; }
  bool PegTextoCodigo(const std::string&, std::string&) override { return false; }
  int32_t PesquisarImpressao(TTemplateBase*, std::string&, int32_t&, TVerificadorFPBase*) override { return 0; }
  TVetorIds IdsParaCodigo(const std::string&) override { return {}; }
};
