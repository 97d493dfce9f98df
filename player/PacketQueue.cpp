#include "PlayerState.h"

int TPacketQueue::Put(AVPacket* APkt) {
    TPacketNode node;
    node.Pkt.reset(avcodec.av_packet_alloc());
    if (!node.Pkt) return -1;
    avcodec.av_packet_move_ref(node.Pkt.get(), APkt);
    Append(std::move(node));
    return 0;
}

void TPacketQueue::FlushAndMark() {
    std::lock_guard lock(FLock);
    FList.clear();
    FSize = 0;
    FAbort = false;
    TPacketNode node;
    node.Flush = true;
    node.Serial = ++FSerial;
    FList.push_back(std::move(node));
    FSize += kNodeSize;
    FCond.notify_one();
}

void TPacketQueue::PutDrain() {
    TPacketNode node;
    node.Drain = true;
    Append(std::move(node));
}

void TPacketQueue::Append(TPacketNode&& ANode) {
    std::lock_guard lock(FLock);
    ANode.Serial = FSerial.load();
    FSize += (ANode.Pkt ? ANode.Pkt->size : 0) + kNodeSize;
    FList.push_back(std::move(ANode));
    FCond.notify_one();
}

int TPacketQueue::Get(TPacketNode& ANode, bool ABlock) {
    std::unique_lock lock(FLock);
    for (;;) {
        if (FAbort) return -1;
        if (!FList.empty()) {
            ANode = std::move(FList.front());
            FList.pop_front();
            FSize -= (ANode.Pkt ? ANode.Pkt->size : 0) + kNodeSize;
            return 1;
        }
        if (!ABlock) return 0;
        FCond.wait(lock);
    }
}

void TPacketQueue::Flush() {
    std::lock_guard lock(FLock);
    FList.clear();
    FSize = 0;
}

void TPacketQueue::Abort() {
    std::lock_guard lock(FLock);
    FAbort = true;
    FCond.notify_all();
}

int TPacketQueue::Size() const {
    std::lock_guard lock(FLock);
    return FSize;
}

int TPacketQueue::Count() const {
    std::lock_guard lock(FLock);
    return static_cast<int>(FList.size());
}

void TPlayEventQueue::Post(TPlayThreadEvent AEvent) {
    std::lock_guard lock(FLock);
    FEvents.push_back(AEvent);
    FCond.notify_one();
}

TPlayThreadEvent TPlayEventQueue::Wait() {
    std::unique_lock lock(FLock);
    FCond.wait(lock, [this] { return !FEvents.empty(); });
    const TPlayThreadEvent e = FEvents.front();
    FEvents.pop_front();
    return e;
}
