// A transport that answers T100 commands from a script, built with the command
// classes' sensor side, and records what it was asked.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "plugins/tavoro/T100Cmd.h"
#include "plugins/tavoro/T100Transport.h"

struct Script {
    std::mutex lock;
    std::deque<uint32_t> statuses; // answers to Get_Acq_Status, in order
    uint32_t lastStatus = 1;       // repeated once the queue is empty
    uint8_t cmdBlock[64] = {};
    std::vector<uint8_t> setBlock; // last block received by Set_Cmd
    int32_t acceptance = 50;
    std::vector<uint8_t> image;
    uint32_t failOpcode = 0;       // exchanges of this opcode fail
    uint32_t errorOpcode = 0;      // ... or get an error reply with errorCode
    uint16_t errorCode = 0;
    uint32_t truncateOpcode = 0;   // ... or a reply cut to its header
    uint32_t delayMs = 0;          // every exchange takes this long
    std::vector<std::pair<uint32_t, uint16_t>> log; // opcode, argument
    std::atomic<int> inExchange{0};
    std::atomic<bool> closedDuringExchange{false};
    std::atomic<bool> closed{false};
    std::atomic<bool> destroyed{false};

    std::vector<uint32_t> Opcodes() {
        std::lock_guard<std::mutex> g(lock);
        std::vector<uint32_t> ops;
        for (auto& e : log)
            ops.push_back(e.first);
        return ops;
    }
    size_t Count() {
        std::lock_guard<std::mutex> g(lock);
        return log.size();
    }
    std::vector<uint16_t> Triggers() {
        std::lock_guard<std::mutex> g(lock);
        std::vector<uint16_t> t;
        for (auto& e : log)
            if (e.first == OP_Atomic_Arm_Trigger)
                t.push_back(e.second);
        return t;
    }
};

class ScriptedTransport : public ITransport {
public:
    explicit ScriptedTransport(std::shared_ptr<Script> s) : FScript(std::move(s)) {}
    ~ScriptedTransport() override { FScript->destroyed = true; }
    int32_t Open(T100Device&) override { return 0; }
    int32_t Close(T100Device&) override {
        if (FScript->inExchange)
            FScript->closedDuringExchange = true;
        FScript->closed = true;
        return 0;
    }
    int32_t GetName(T100Device&, char* text, uint32_t capacity, uint32_t& length) override {
        if (capacity)
            text[0] = 0;
        length = 1;
        return 1;
    }
    int32_t Exchange(T100Device&, const uint8_t* request, uint32_t length, uint8_t* reply,
                     uint32_t& replyLength) override {
        Script& s = *FScript;
        ++s.inExchange;
        if (s.delayMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(s.delayMs));
        int32_t r = Answer(request, length, reply, replyLength);
        --s.inExchange;
        return r;
    }

private:
    int32_t Answer(const uint8_t* request, uint32_t length, uint8_t* reply, uint32_t& replyLength) {
        Script& s = *FScript;
        uint32_t op = uint32_t(request[2]) | uint32_t(request[3]) << 8 | uint32_t(request[4]) << 16 |
                      uint32_t(request[5]) << 24;
        std::unique_ptr<ICmd> cmd(CreateCommand(op));
        if (!cmd || !cmd->UnpackCommand(request, length))
            return 0;
        std::lock_guard<std::mutex> g(s.lock);
        s.log.emplace_back(op, cmd->Argument());
        if (op == s.failOpcode)
            return 0;
        std::unique_ptr<ICmd> answer;
        if (op == s.errorOpcode) {
            auto* e = new Atomic_Error();
            e->SetErrorCode(s.errorCode);
            answer.reset(e);
        } else {
            switch (op) {
            case OP_Atomic_Get_Acq_Status: {
                auto* c = static_cast<Atomic_Get_Acq_Status*>(cmd.get());
                if (!s.statuses.empty()) {
                    s.lastStatus = s.statuses.front();
                    s.statuses.pop_front();
                }
                c->FStatus = s.lastStatus;
                break;
            }
            case OP_Atomic_Get_Cmd:
                std::memcpy(static_cast<Atomic_Get_Cmd*>(cmd.get())->FBlock, s.cmdBlock, 64);
                break;
            case OP_Atomic_Set_Cmd: {
                auto* c = static_cast<Atomic_Set_Cmd*>(cmd.get());
                s.setBlock.assign(c->FBlock, c->FBlock + c->FBlockLength);
                break;
            }
            case OP_Atomic_Get_Composite_Image: {
                auto* c = static_cast<Atomic_Get_Composite_Image*>(cmd.get());
                c->FAcceptance = uint32_t(s.acceptance);
                c->FImageSize = uint32_t(s.image.size());
                c->FImage = static_cast<uint8_t*>(std::malloc(s.image.size() + 1));
                std::memcpy(c->FImage, s.image.data(), s.image.size());
                break;
            }
            default:
                break;
            }
            answer = std::move(cmd);
        }
        uint8_t* packet = nullptr;
        int32_t size = 0;
        if (!answer->PackResponse(&packet, &size) || uint32_t(size) > replyLength)
            return 0;
        if (op == s.truncateOpcode)
            size = 14;
        std::memcpy(reply, packet, size_t(size));
        replyLength = uint32_t(size);
        return 1;
    }

    std::shared_ptr<Script> FScript;
};
