// AbPPMd: the PPMd variant I (revision 1) decoder. See the header for the
// outline; the sections below follow the model's layers from the bottom:
// byte input, range decoder, sub-allocator, model start, context tree
// maintenance, symbol decoding, and the item glue.
//
// Representation. Everything the model owns is in one block: a text area at
// the bottom that grows upwards, then the units area, which is handed out
// from both ends (symbol tables from LoUnit upwards, contexts from HiUnit
// downwards) and through the free lists. A reference is a 32-bit offset from
// the block's base; 0 is "none", which no real object can have since the
// usable part starts a few bytes into the block. Records are laid out byte
// for byte as the encoder lays them out, because the allocator's decisions
// read them: a free block is marked by an all-ones first word, which no
// context and no symbol table can start with.
//
//   context (12 bytes)   NumStats (symbols - 1), Flags, SummFreq:16, Stats:32, Suffix:32
//                        with one symbol, the symbol's state sits on bytes 2..7
//   state (6 bytes)      Symbol, Freq, Successor:32 (as two 16-bit halves)
//   free block           Stamp:32 = all ones, Next:32, NU:32 (size in units)
//
// A context's Flags: 0x10 when the symbol that led to it is 0x40 or above,
// 0x08 when any of its own symbols is, 0x04 once it has been rescaled. They
// select the adaptive probability cells together with the run state.
//
// The adaptive cells. A binary context (one symbol) codes with a cell chosen
// by its symbol's frequency, quantised into 25 rows (one row per frequency
// up to 5, then rows for ever longer runs of frequencies), and by its
// suffix's size, the last step's success, its flags and the run's sign. A
// context reached by escaping takes its escape count from a secondary cell
// chosen by its size (24 rows, quantised the same way) and its fullness.
// Both kinds start from the estimate for the largest frequency or size in
// their row: the encoder fills its tables entry by entry over all values
// and each row keeps the last one written. That start value matters from
// the first use of a row beyond the fifth, which is about the sixth hit of
// a binary context, and any other choice changes every byte after it.
//
// Memory comes from the system in one block on large pages where possible
// (rtl::TLargeBlock): the model is read at random all over it, and small
// pages would spend as much time on address translation as on the model.
#include "archive/AbPPMd.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "archive/AbExcept.h"
#include "rtl/LargeBlock.h"

namespace ab {

namespace {

// ---------------------------------------------------------------------------
// Constants of the model
// ---------------------------------------------------------------------------

constexpr unsigned kMaxOrder = 16;        // 4 bits of the parameter word
constexpr unsigned kIntBits = 7;          // adaptive probability increment: 1 << 7
constexpr unsigned kPeriodBits = 7;       // adaptation period of the estimators
constexpr unsigned kTotBits = 14;         // binary contexts code on a total of 2^14
constexpr unsigned kInterval = 1u << kIntBits;
constexpr unsigned kBinScale = 1u << kTotBits;
constexpr unsigned kMaxFreq = 124;        // a frequency above this rescales its context
constexpr unsigned kCutOffBound = 9;      // cut-off keeps one-symbol contexts up to this order
constexpr uint32_t kUnitSize = 12;        // one context, or two states
constexpr unsigned kNumIndexes = 38;      // 4 + 4 + 4 + 26 block sizes, 1 to 128 units
constexpr uint32_t kTop = 1u << 24;       // range coder: shift a byte in below this...
constexpr uint32_t kBot = 1u << 15;       // ...or when the range falls below this
constexpr uint32_t kEmptyStamp = 0xFFFFFFFFu;

enum : unsigned { kRestoreRestart = 0, kRestoreCutOff = 1 };

constexpr uint16_t kInitBinEsc[8] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x64A1, 0x5ABC, 0x6632, 0x6051};
constexpr uint8_t kExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

// Spare bytes after the block: a damaged model can never reach past the
// largest record (one 128-unit table) beyond the block's end.
constexpr uint32_t kSlack = 128 * kUnitSize + 64;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

struct __attribute__((may_alias)) TState {
  uint8_t Symbol;
  uint8_t Freq;
  uint16_t SuccessorLow;
  uint16_t SuccessorHigh;
};
static_assert(sizeof(TState) == 6);

struct __attribute__((may_alias)) TContext {
  uint8_t NumStats;
  uint8_t Flags;
  uint16_t SummFreq;
  uint32_t Stats;
  uint32_t Suffix;
};
static_assert(sizeof(TContext) == kUnitSize);

struct __attribute__((may_alias)) TNode {
  uint32_t Stamp;
  uint32_t Next;
  uint32_t NU;
};
static_assert(sizeof(TNode) == kUnitSize);

// Secondary escape estimation cell: a running sum scaled by 2^Shift.
struct TSee {
  uint16_t Summ;
  uint8_t Shift;
  uint8_t Count;
};

inline uint32_t Successor(const TState* s) { return s->SuccessorLow | (static_cast<uint32_t>(s->SuccessorHigh) << 16); }
inline void SetSuccessor(TState* s, uint32_t v) {
  s->SuccessorLow = static_cast<uint16_t>(v);
  s->SuccessorHigh = static_cast<uint16_t>(v >> 16);
}
inline TState* OneState(TContext* c) { return reinterpret_cast<TState*>(&c->SummFreq); }
inline void SwapStates(TState* a, TState* b) {
  TState t = *a;
  *a = *b;
  *b = t;
}
inline unsigned HiBit(unsigned sym) { return sym >= 0x40; }

// ---------------------------------------------------------------------------
// Tables shared by every model, built once
// ---------------------------------------------------------------------------

struct TTables {
  uint8_t Indx2Units[kNumIndexes];
  uint8_t Units2Indx[128];
  uint8_t NS2BSIndx[256];  // suffix symbol count -> binary cell column group
  uint8_t QTable[260];     // frequencies and symbol counts -> quantised row
  uint16_t BinRowTop[25];  // highest QTable index of each row
  uint16_t SeeRowTop[24];  // largest NumStats of each secondary-escape row

  TTables() {
    unsigned k = 0;
    for (unsigned i = 0; i < kNumIndexes; ++i) {
      unsigned step = i >= 12 ? 4 : (i >> 2) + 1;
      do Units2Indx[k++] = static_cast<uint8_t>(i);
      while (--step);
      Indx2Units[i] = static_cast<uint8_t>(k);
    }
    NS2BSIndx[0] = 0;
    NS2BSIndx[1] = 2;
    std::memset(NS2BSIndx + 2, 4, 9);
    std::memset(NS2BSIndx + 11, 6, 256 - 11);
    unsigned i = 0;
    for (; i < 5; ++i) QTable[i] = static_cast<uint8_t>(i);
    for (unsigned m = i, run = 1; i < 260; ++i) {
      QTable[i] = static_cast<uint8_t>(m);
      if (--run == 0) run = ++m - 4;
    }
    for (i = 0; i < 260; ++i)
      if (QTable[i] < 25) BinRowTop[QTable[i]] = static_cast<uint16_t>(i);
    for (i = 0; i < 24; ++i) SeeRowTop[i] = 0;
    for (i = 1; i < 256; ++i) SeeRowTop[QTable[i + 2] - 3] = static_cast<uint16_t>(i);
  }
};

const TTables kTables;

// Row of the binary-context cells for a symbol frequency (1..196; any byte
// value stays inside the table, whose rows go up to 26).
inline unsigned BinRow(unsigned freq) { return kTables.QTable[(freq - 1) & 0xFF]; }
inline unsigned U2I(unsigned nu) { return kTables.Units2Indx[nu - 1]; }
inline unsigned I2U(unsigned indx) { return kTables.Indx2Units[indx]; }

// ---------------------------------------------------------------------------
// Byte input
// ---------------------------------------------------------------------------

// The item's bytes, 4098 at a time. Running dry is an error: a PPMd item
// ends with its end signal, never just by stopping.
class TPpmdByteReader {
public:
  explicit TPpmdByteReader(rtl::TStream* Src) : FSrc(Src) {}
  uint8_t ReadByte() {
    if (FPos == FCount) Refill();
    return FBuf[FPos++];
  }

private:
  void Refill() {
    int64_t n = FSrc->Read(FBuf, sizeof FBuf);
    if (n <= 0) throw EAbReadError();
    FCount = static_cast<uint32_t>(n);
    FPos = 0;
  }

  rtl::TStream* FSrc;
  uint32_t FPos = 0, FCount = 0;
  uint8_t FBuf[4098];
};

// ---------------------------------------------------------------------------
// The model
// ---------------------------------------------------------------------------

class TPpmdModel {
public:
  TPpmdModel(uint32_t MemSize, TPpmdByteReader& In);
  void StartDecoder();
  void StartModel(unsigned MaxOrder, unsigned RestoreMethod);
  // The next byte, or -1 at the end signal.
  int DecodeSymbol();

private:
  // References
  uint8_t* Ptr(uint32_t ref) const { return FBase + ref; }
  uint32_t Ref(const void* p) const { return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - FBase); }
  TContext* Ctx(uint32_t ref) const { return reinterpret_cast<TContext*>(FBase + ref); }
  TState* Stats(const TContext* c) const { return reinterpret_cast<TState*>(FBase + c->Stats); }
  TContext* Suffix(const TContext* c) const { return Ctx(c->Suffix); }
  // The state of Sym in a context with several symbols; a symbol the
  // context lacks (which a sound model never asks for) yields its last one.
  TState* FindState(TContext* c, unsigned Sym) const {
    TState* s = Stats(c);
    for (unsigned n = c->NumStats; s->Symbol != Sym && n; --n) ++s;
    return s;
  }

  // Range decoder
  void Normalize() {
    while ((FLow ^ (FLow + FRange)) < kTop || (FRange < kBot && ((FRange = (0u - FLow) & (kBot - 1)), true))) {
      FCode = (FCode << 8) | FIn.ReadByte();
      FRange <<= 8;
      FLow <<= 8;
    }
  }
  uint32_t GetThreshold(uint32_t Total) { return FCode / (FRange /= Total); }
  void Decode(uint32_t Start, uint32_t Size) {
    Start *= FRange;
    FLow += Start;
    FCode -= Start;
    FRange *= Size;
    Normalize();
  }

  // Sub-allocator
  void InsertNode(void* p, unsigned indx);
  void* RemoveNode(unsigned indx);
  void SplitBlock(void* p, unsigned oldIndx, unsigned newIndx);
  void GlueFreeBlocks();
  void* AllocUnitsRare(unsigned indx);
  void* AllocUnits(unsigned indx);
  void* ShrinkUnits(void* oldPtr, unsigned oldNU, unsigned newNU);
  void* MoveUnitsUp(void* oldPtr, unsigned nu);
  void FreeUnits(void* p, unsigned nu) { InsertNode(p, U2I(nu)); }
  void SpecialFreeUnit(void* p);
  void ExpandTextArea();
  uint32_t GetUsedMemory() const;

  // Model maintenance
  void RestartModel();
  void Refresh(TContext* c, unsigned oldNU, unsigned scale);
  uint32_t CutOff(TContext* c, unsigned order);
  void RestoreModel(TContext* c1);
  TContext* CreateSuccessors(bool Skip, TState* S1, TContext* C);
  TContext* ReduceOrder(TState* S1, TContext* C);
  void UpdateModel();
  void Rescale();
  void NextContext();
  void Update1();
  void Update1_0();
  void Update2();
  void UpdateBin();
  TSee* MakeEscFreq(unsigned NumMasked, uint32_t& EscFreq);
  void NewMaskGeneration() {
    if (++FEscCount == 0) {
      std::memset(FCharMask, 0, sizeof FCharMask);
      FEscCount = 1;
    }
  }

  TPpmdByteReader& FIn;
  rtl::TLargeBlock FBlock;
  uint8_t* FBase;
  uint32_t FSize, FAlignOffset;
  uint8_t *FHeapStart, *FText, *FUnitsStart, *FLoUnit, *FHiUnit;
  uint32_t FGlueCount = 0;
  uint32_t FFreeList[kNumIndexes];
  uint32_t FStamps[kNumIndexes];  // blocks on each free list

  TContext *FMinContext = nullptr, *FMaxContext = nullptr;
  TState* FFoundState = nullptr;
  unsigned FOrderFall = 0, FInitEsc = 0, FPrevSuccess = 0, FMaxOrder = 0, FRestoreMethod = 0;
  int32_t FRunLength = 0, FInitRL = 0;

  uint32_t FRange = 0, FCode = 0, FLow = 0;

  uint8_t FCharMask[256];
  uint8_t FEscCount = 0;

  // A binary context's frequency stops at 196 (row 24) and its column at
  // 63; the spare rows and columns cover every byte value all the same, so
  // that no frequency can index past the table.
  uint16_t FBinSumm[27][64 + 8];
  TSee FSee[24][32 + 4];
  TSee FDummySee;
};

// The encoder keeps the units area's top 4-byte aligned: the same offset at
// the block's start reproduces its layout exactly.
TPpmdModel::TPpmdModel(uint32_t MemSize, TPpmdByteReader& In)
    : FIn(In), FBlock(static_cast<size_t>(4 - (MemSize & 3)) + MemSize + kSlack), FSize(MemSize) {
  FAlignOffset = 4 - (MemSize & 3);
  if (!FBlock.Data()) throw EAbPPMdMemoryError(rtl::Format("PPMd: cannot allocate %u MiB of model memory", MemSize >> 20));
  FBase = FBlock.Data();
  FHeapStart = FBase + FAlignOffset;
  std::memset(FCharMask, 0, sizeof FCharMask);
}

void TPpmdModel::StartDecoder() {
  FLow = 0;
  FRange = 0xFFFFFFFFu;
  FCode = 0;
  for (int i = 0; i < 4; ++i) FCode = (FCode << 8) | FIn.ReadByte();
}

void TPpmdModel::StartModel(unsigned MaxOrder, unsigned RestoreMethod) {
  FMaxOrder = MaxOrder;
  FRestoreMethod = RestoreMethod;
  RestartModel();
  // The order-0 context with all 256 symbols escapes with a fixed count
  // of 1; its cell never adapts (Shift at the period).
  FDummySee.Summ = 0xAF8F;
  FDummySee.Shift = kPeriodBits;
  FDummySee.Count = 0x84;
}

// ---------------------------------------------------------------------------
// Sub-allocator
// ---------------------------------------------------------------------------

void TPpmdModel::InsertNode(void* p, unsigned indx) {
  TNode* n = static_cast<TNode*>(p);
  n->Stamp = kEmptyStamp;
  n->Next = FFreeList[indx];
  n->NU = I2U(indx);
  FFreeList[indx] = Ref(p);
  FStamps[indx]++;
}

void* TPpmdModel::RemoveNode(unsigned indx) {
  TNode* n = reinterpret_cast<TNode*>(Ptr(FFreeList[indx]));
  FFreeList[indx] = n->Next;
  FStamps[indx]--;
  return n;
}

// Returns the tail of a block cut down from oldIndx to newIndx units to the
// free lists, as one block or, when no size fits, two.
void TPpmdModel::SplitBlock(void* p, unsigned oldIndx, unsigned newIndx) {
  unsigned nu = I2U(oldIndx) - I2U(newIndx);
  uint8_t* tail = static_cast<uint8_t*>(p) + I2U(newIndx) * kUnitSize;
  unsigned i = U2I(nu);
  if (I2U(i) != nu) {
    unsigned k = I2U(--i);
    InsertNode(tail + k * kUnitSize, nu - k - 1);
  }
  InsertNode(tail, i);
}

// Merges neighbouring free blocks and sorts the result back onto the lists.
void TPpmdModel::GlueFreeBlocks() {
  FGlueCount = 1 << 13;
  std::memset(FStamps, 0, sizeof FStamps);
  // The gap between LoUnit and HiUnit is not free in this sense: a zero
  // stamp at its start stops a merge there. The top unit is always the
  // order-0 context, so no merge runs off the end of the block.
  if (FLoUnit != FHiUnit) reinterpret_cast<TNode*>(FLoUnit)->Stamp = 0;

  // Pass 1: all free blocks onto one chain, in list order, each merged with
  // the free blocks that follow it in memory (those are left with NU 0).
  uint32_t head = 0;
  uint32_t* prev = &head;
  for (unsigned i = 0; i < kNumIndexes; ++i) {
    uint32_t next = FFreeList[i];
    FFreeList[i] = 0;
    while (next != 0) {
      TNode* node = reinterpret_cast<TNode*>(Ptr(next));
      if (node->NU != 0) {
        *prev = next;
        prev = &node->Next;
        TNode* node2;
        while ((node2 = node + node->NU)->Stamp == kEmptyStamp) {
          node->NU += node2->NU;
          node2->NU = 0;
        }
      }
      next = node->Next;
    }
  }
  *prev = 0;

  // Pass 2: cut the merged blocks into list sizes.
  while (head != 0) {
    TNode* node = reinterpret_cast<TNode*>(Ptr(head));
    head = node->Next;
    unsigned nu = node->NU;
    if (nu == 0) continue;
    for (; nu > 128; nu -= 128, node += 128) InsertNode(node, kNumIndexes - 1);
    unsigned i = U2I(nu);
    if (I2U(i) != nu) {
      unsigned k = I2U(--i);
      InsertNode(node + k, nu - k - 1);
    }
    InsertNode(node, i);
  }
}

void* TPpmdModel::AllocUnitsRare(unsigned indx) {
  if (FGlueCount == 0) {
    GlueFreeBlocks();
    if (FFreeList[indx] != 0) return RemoveNode(indx);
  }
  unsigned i = indx;
  do {
    if (++i == kNumIndexes) {
      // Nothing larger is free: take the units from the top of the text area.
      uint32_t numBytes = I2U(indx) * kUnitSize;
      FGlueCount--;
      if (static_cast<uint32_t>(FUnitsStart - FText) > numBytes) return FUnitsStart -= numBytes;
      return nullptr;
    }
  } while (FFreeList[i] == 0);
  void* r = RemoveNode(i);
  SplitBlock(r, i, indx);
  return r;
}

void* TPpmdModel::AllocUnits(unsigned indx) {
  if (FFreeList[indx] != 0) return RemoveNode(indx);
  uint32_t numBytes = I2U(indx) * kUnitSize;
  if (numBytes <= static_cast<uint32_t>(FHiUnit - FLoUnit)) {
    void* r = FLoUnit;
    FLoUnit += numBytes;
    return r;
  }
  return AllocUnitsRare(indx);
}

void* TPpmdModel::ShrinkUnits(void* oldPtr, unsigned oldNU, unsigned newNU) {
  unsigned i0 = U2I(oldNU), i1 = U2I(newNU);
  if (i0 == i1) return oldPtr;
  if (FFreeList[i1] != 0) {
    void* p = RemoveNode(i1);
    std::memcpy(p, oldPtr, newNU * kUnitSize);
    InsertNode(oldPtr, i0);
    return p;
  }
  SplitBlock(oldPtr, i0, i1);
  return oldPtr;
}

// During a cut-off, tables near the bottom of the units area move up into
// free blocks above them, so that the bottom can become text area again.
void* TPpmdModel::MoveUnitsUp(void* oldPtr, unsigned nu) {
  unsigned indx = U2I(nu);
  if (static_cast<uint8_t*>(oldPtr) > FUnitsStart + 16 * 1024 || Ref(oldPtr) > FFreeList[indx]) return oldPtr;
  void* p = RemoveNode(indx);
  std::memcpy(p, oldPtr, nu * kUnitSize);
  if (static_cast<uint8_t*>(oldPtr) != FUnitsStart)
    InsertNode(oldPtr, indx);
  else
    FUnitsStart += I2U(indx) * kUnitSize;
  return p;
}

void TPpmdModel::SpecialFreeUnit(void* p) {
  if (static_cast<uint8_t*>(p) != FUnitsStart)
    InsertNode(p, 0);
  else
    FUnitsStart += kUnitSize;
}

// Gives the free blocks at the bottom of the units area back to the text.
void TPpmdModel::ExpandTextArea() {
  uint32_t count[kNumIndexes] = {};
  if (FLoUnit != FHiUnit) reinterpret_cast<TNode*>(FLoUnit)->Stamp = 0;
  TNode* node = reinterpret_cast<TNode*>(FUnitsStart);
  for (; node->Stamp == kEmptyStamp; node += node->NU) {
    node->Stamp = 0;
    count[U2I(node->NU)]++;
  }
  FUnitsStart = reinterpret_cast<uint8_t*>(node);
  // Unlink the blocks just taken (now stamped 0) from their lists.
  for (unsigned i = 0; i < kNumIndexes; ++i) {
    uint32_t* next = &FFreeList[i];
    while (count[i] != 0) {
      TNode* n = reinterpret_cast<TNode*>(Ptr(*next));
      while (n->Stamp == 0) {
        *next = n->Next;
        n = reinterpret_cast<TNode*>(Ptr(*next));
        FStamps[i]--;
        if (--count[i] == 0) break;
      }
      next = &n->Next;
    }
  }
}

uint32_t TPpmdModel::GetUsedMemory() const {
  uint32_t units = 0;
  for (unsigned i = 0; i < kNumIndexes; ++i) units += FStamps[i] * I2U(i);
  return FSize - static_cast<uint32_t>(FHiUnit - FLoUnit) - static_cast<uint32_t>(FUnitsStart - FText) -
         units * kUnitSize;
}

// ---------------------------------------------------------------------------
// Model start and restore
// ---------------------------------------------------------------------------

void TPpmdModel::RestartModel() {
  std::memset(FFreeList, 0, sizeof FFreeList);
  std::memset(FStamps, 0, sizeof FStamps);
  FText = FHeapStart;
  FHiUnit = FText + FSize;
  // One eighth of the block (rounded to units) is text area at first.
  FLoUnit = FUnitsStart = FHiUnit - FSize / 8 / kUnitSize * 7 * kUnitSize;
  FGlueCount = 0;

  FOrderFall = FMaxOrder;
  FRunLength = FInitRL = -static_cast<int32_t>(std::min(FMaxOrder, 12u)) - 1;
  FPrevSuccess = 0;

  FHiUnit -= kUnitSize;
  FMinContext = FMaxContext = reinterpret_cast<TContext*>(FHiUnit);
  FMinContext->Suffix = 0;
  FMinContext->NumStats = 255;
  FMinContext->Flags = 0;
  FMinContext->SummFreq = 256 + 1;
  FFoundState = reinterpret_cast<TState*>(FLoUnit);
  FLoUnit += (256 / 2) * kUnitSize;
  FMinContext->Stats = Ref(FFoundState);
  for (unsigned i = 0; i < 256; ++i) {
    TState* s = FFoundState + i;
    s->Symbol = static_cast<uint8_t>(i);
    s->Freq = 1;
    SetSuccessor(s, 0);
  }

  // A row stands for a run of frequencies; its cells start from the
  // estimate for the run's highest frequency f, 16384 - InitBinEsc[k] / (f + 1).
  for (unsigned i = 0; i < 25; ++i)
    for (unsigned k = 0; k < 8; ++k) {
      uint16_t v = static_cast<uint16_t>(kBinScale - kInitBinEsc[k] / (kTables.BinRowTop[i] + 2u));
      for (unsigned m = 0; m < 64; m += 8) FBinSumm[i][k + m] = v;
    }
  for (auto& row : FBinSumm) std::fill(std::begin(row) + 64, std::end(row), static_cast<uint16_t>(kBinScale / 2));
  for (unsigned i = 25; i < 27; ++i) std::fill(std::begin(FBinSumm[i]), std::begin(FBinSumm[i]) + 64, static_cast<uint16_t>(kBinScale / 2));

  // Likewise a secondary-escape row stands for a run of symbol counts and
  // starts from the estimate 2 n + 5 for the run's largest count n.
  for (unsigned i = 0; i < 24; ++i)
    for (unsigned k = 0; k < 32 + 4; ++k) {
      TSee& s = FSee[i][k];
      s.Shift = kPeriodBits - 4;
      s.Summ = static_cast<uint16_t>((2 * kTables.SeeRowTop[i] + 5) << s.Shift);
      s.Count = 7;
    }
}

// Shrinks a context's table to its symbol count and, with scale 1, halves
// its frequencies; recomputes the high-symbol flag.
void TPpmdModel::Refresh(TContext* c, unsigned oldNU, unsigned scale) {
  unsigned i = c->NumStats;
  TState* s = static_cast<TState*>(ShrinkUnits(Stats(c), oldNU, (i + 2) >> 1));
  c->Stats = Ref(s);
  unsigned flags = (c->Flags & (0x10 + 0x04 * scale)) + 0x08 * HiBit(s->Symbol);
  uint32_t escFreq = c->SummFreq - s->Freq;
  uint32_t sumFreq = (s->Freq = static_cast<uint8_t>((s->Freq + scale) >> scale));
  do {
    escFreq -= (++s)->Freq;
    sumFreq += (s->Freq = static_cast<uint8_t>((s->Freq + scale) >> scale));
    flags |= 0x08 * HiBit(s->Symbol);
  } while (--i);
  c->SummFreq = static_cast<uint16_t>(sumFreq + ((escFreq + scale) >> scale));
  c->Flags = static_cast<uint8_t>(flags);
}

// Drops from the tree everything that hangs on raw text, and whole branches
// above the order bound that lead nowhere; returns the context's new
// reference (0 when it was freed).
uint32_t TPpmdModel::CutOff(TContext* c, unsigned order) {
  if (c->NumStats == 0) {
    TState* s = OneState(c);
    uint32_t succ = Successor(s);
    if (Ptr(succ) >= FUnitsStart) {
      succ = order < FMaxOrder ? CutOff(Ctx(succ), order + 1) : 0;
      SetSuccessor(s, succ);
      if (succ || order <= kCutOffBound) return Ref(c);
    }
    SpecialFreeUnit(c);
    return 0;
  }

  unsigned nu = (c->NumStats + 2) >> 1;
  c->Stats = Ref(MoveUnitsUp(Stats(c), nu));
  int i = c->NumStats;
  TState* stats = Stats(c);
  for (TState* s = stats + i; s >= stats; --s) {
    uint32_t succ = Successor(s);
    if (Ptr(succ) < FUnitsStart) {
      // Dead branch: to the end of the table, to be dropped below.
      TState* s2 = stats + (i--);
      SetSuccessor(s, 0);
      SwapStates(s, s2);
    } else if (order < FMaxOrder) {
      SetSuccessor(s, CutOff(Ctx(succ), order + 1));
    } else {
      SetSuccessor(s, 0);
    }
  }

  if (i != c->NumStats && order) {
    c->NumStats = static_cast<uint8_t>(i);
    TState* s = Stats(c);
    if (i < 0) {
      FreeUnits(s, nu);
      SpecialFreeUnit(c);
      return 0;
    }
    if (i == 0) {
      c->Flags = static_cast<uint8_t>((c->Flags & 0x10) + 0x08 * HiBit(s->Symbol));
      *OneState(c) = *s;
      FreeUnits(s, nu);
      OneState(c)->Freq = static_cast<uint8_t>((OneState(c)->Freq + 11) >> 3);
    } else {
      Refresh(c, nu, c->SummFreq > 16 * static_cast<unsigned>(i));
    }
  }
  return Ref(c);
}

// The model's memory ran out while the symbol was being added to the
// contexts from MaxContext down to (not including) C1: take it out of them
// again, age the rest of the path, then restart or cut the tree back.
void TPpmdModel::RestoreModel(TContext* c1) {
  FText = FHeapStart;
  // Both walks follow the suffix path, which always reaches C1 and
  // MinContext; the stop at order 0 only keeps a damaged model in bounds.
  TContext* c = FMaxContext;
  for (; c != c1 && c->Suffix; c = Suffix(c)) {
    if (--c->NumStats == 0) {
      TState* s = Stats(c);
      c->Flags = static_cast<uint8_t>((c->Flags & 0x10) + 0x08 * HiBit(s->Symbol));
      *OneState(c) = *s;
      SpecialFreeUnit(s);
      OneState(c)->Freq = static_cast<uint8_t>((OneState(c)->Freq + 11) >> 3);
    } else {
      Refresh(c, (c->NumStats + 3) >> 1, 0);
    }
  }
  for (; c != FMinContext && c->Suffix; c = Suffix(c)) {
    if (c->NumStats == 0) {
      TState* s = OneState(c);
      s->Freq = static_cast<uint8_t>(s->Freq - (s->Freq >> 1));
    } else if ((c->SummFreq = static_cast<uint16_t>(c->SummFreq + 4)) > 128 + 4 * c->NumStats) {
      Refresh(c, (c->NumStats + 2) >> 1, 1);
    }
  }

  if (FRestoreMethod == kRestoreRestart || GetUsedMemory() < (FSize >> 1)) {
    RestartModel();
  } else {
    while (FMaxContext->Suffix) FMaxContext = Suffix(FMaxContext);
    // Each pass removes at least the outermost layer of a tree that can
    // still shrink; a tree that stops shrinking above the mark (which no
    // encoder could get past either) is started over instead of looping.
    unsigned passes = 0;
    do {
      CutOff(FMaxContext, 0);
      ExpandTextArea();
      if (++passes > 4 * kMaxOrder) {
        RestartModel();
        break;
      }
    } while (GetUsedMemory() > 3 * (FSize >> 2));
    FGlueCount = 0;
    FOrderFall = FMaxOrder;
  }
  FMinContext = FMaxContext;
}

// ---------------------------------------------------------------------------
// Growing the tree
// ---------------------------------------------------------------------------

// Creates the contexts one order above each context on the suffix path whose
// found symbol still points into the text (at UpBranch), each inheriting the
// symbol that followed there with an estimated frequency. S1, when given, is
// the found symbol's state in C's suffix, already updated by the caller.
TContext* TPpmdModel::CreateSuccessors(bool Skip, TState* S1, TContext* C) {
  const uint32_t upBranch = Successor(FFoundState);
  const unsigned fSymbol = FFoundState->Symbol;
  TState* ps[kMaxOrder + 2];
  unsigned numPs = 0;
  if (!Skip) ps[numPs++] = FFoundState;
  while (C->Suffix) {
    TState* s;
    C = Suffix(C);
    if (S1) {
      s = S1;
      S1 = nullptr;
    } else if (C->NumStats != 0) {
      s = FindState(C, fSymbol);
      if (s->Freq < kMaxFreq - 9) {
        s->Freq++;
        C->SummFreq++;
      }
    } else {
      s = OneState(C);
      s->Freq = static_cast<uint8_t>(s->Freq + ((!Suffix(C)->NumStats) & (s->Freq < 24)));
    }
    uint32_t succ = Successor(s);
    if (succ != upBranch) {
      C = Ctx(succ);
      break;
    }
    if (numPs == sizeof ps / sizeof ps[0]) throw EAbCorruptData("PPMd context path too deep");
    ps[numPs++] = s;
  }
  if (numPs == 0) return C;

  TState up;
  const unsigned upSymbol = *Ptr(upBranch);
  up.Symbol = static_cast<uint8_t>(upSymbol);
  SetSuccessor(&up, upBranch + 1);
  const uint8_t flags = static_cast<uint8_t>(0x10 * HiBit(fSymbol) + 0x08 * HiBit(upSymbol));
  if (C->NumStats == 0) {
    up.Freq = OneState(C)->Freq;
  } else {
    TState* s = FindState(C, upSymbol);
    uint32_t cf = s->Freq - 1u;
    uint32_t s0 = C->SummFreq - C->NumStats - cf;
    if (s0 == 0) s0 = 1;  // only a damaged context gets here
    up.Freq = static_cast<uint8_t>(1 + ((2 * cf <= s0) ? (5 * cf > s0) : ((cf + 2 * s0 - 3) / s0)));
  }

  do {
    TContext* c1;
    if (FHiUnit != FLoUnit) {
      FHiUnit -= kUnitSize;
      c1 = reinterpret_cast<TContext*>(FHiUnit);
    } else if (FFreeList[0] != 0) {
      c1 = static_cast<TContext*>(RemoveNode(0));
    } else {
      c1 = static_cast<TContext*>(AllocUnitsRare(0));
      if (!c1) return nullptr;
    }
    c1->NumStats = 0;
    c1->Flags = flags;
    *OneState(c1) = up;
    c1->Suffix = Ref(C);
    SetSuccessor(ps[--numPs], Ref(c1));
    C = c1;
  } while (numPs != 0);
  return C;
}

// The found symbol has no successor (the tree was cut back): point it, and
// the same symbol down the suffix path, at the text, and take the first
// successor found further down as the new context.
TContext* TPpmdModel::ReduceOrder(TState* S1, TContext* C) {
  TContext* const c1 = C;
  const uint32_t upBranch = Ref(FText);
  const unsigned fSymbol = FFoundState->Symbol;
  SetSuccessor(FFoundState, upBranch);
  FOrderFall++;
  TState* s;
  for (;;) {
    if (S1) {
      C = Suffix(C);
      s = S1;
      S1 = nullptr;
    } else {
      if (!C->Suffix) return C;
      C = Suffix(C);
      if (C->NumStats) {
        s = FindState(C, fSymbol);
        if (s->Freq < kMaxFreq - 9) {
          s->Freq += 2;
          C->SummFreq += 2;
        }
      } else {
        s = OneState(C);
        s->Freq = static_cast<uint8_t>(s->Freq + (s->Freq < 32));
      }
    }
    if (Successor(s)) break;
    SetSuccessor(s, upBranch);
    FOrderFall++;
  }

  if (Successor(s) <= upBranch) {
    TState* saved = FFoundState;
    FFoundState = s;
    TContext* cs = CreateSuccessors(false, nullptr, C);
    SetSuccessor(s, cs ? Ref(cs) : 0);
    FFoundState = saved;
  }
  uint32_t succ = Successor(s);
  if (FOrderFall == 1 && c1 == FMaxContext) {
    SetSuccessor(FFoundState, succ);
    FText--;
  }
  return succ ? Ctx(succ) : nullptr;
}

// Adds the found symbol to every context it escaped from, records it in the
// text, and moves to the context that follows.
void TPpmdModel::UpdateModel() {
  TState* const fs = FFoundState;
  const unsigned fSymbol = fs->Symbol;
  const unsigned fFreq = fs->Freq;
  uint32_t fSuccessor = Successor(fs);
  TContext* const mc = FMinContext;
  TState* s = nullptr;

  // The symbol's state one order down gains as well.
  if (fFreq < kMaxFreq / 4 && mc->Suffix) {
    TContext* c = Suffix(mc);
    if (c->NumStats == 0) {
      s = OneState(c);
      if (s->Freq < 32) s->Freq++;
    } else {
      s = Stats(c);
      if (s->Symbol != fSymbol) {
        s = FindState(c, fSymbol);
        if (s[0].Freq >= s[-1].Freq) {
          SwapStates(&s[0], &s[-1]);
          s--;
        }
      }
      if (s->Freq < kMaxFreq - 9) {
        s->Freq += 2;
        c->SummFreq += 2;
      }
    }
  }

  TContext* c = FMaxContext;
  if (FOrderFall == 0 && fSuccessor) {
    TContext* cs = CreateSuccessors(true, s, mc);
    if (!cs) {
      SetSuccessor(FFoundState, 0);
      RestoreModel(c);
      return;
    }
    SetSuccessor(FFoundState, Ref(cs));
    FMaxContext = cs;
    return;
  }

  *FText++ = static_cast<uint8_t>(fSymbol);
  uint32_t successor = Ref(FText);
  if (FText >= FUnitsStart) {
    RestoreModel(c);
    return;
  }

  if (!fSuccessor) {
    TContext* cs = ReduceOrder(s, mc);
    if (!cs) {
      RestoreModel(c);
      return;
    }
    fSuccessor = Ref(cs);
  } else if (Ptr(fSuccessor) < FUnitsStart) {
    TContext* cs = CreateSuccessors(false, s, mc);
    if (!cs) {
      RestoreModel(c);
      return;
    }
    fSuccessor = Ref(cs);
  }

  if (--FOrderFall == 0) {
    successor = fSuccessor;
    FText -= (FMaxContext != FMinContext);
  }

  const unsigned ns = mc->NumStats;
  const uint32_t s0 = mc->SummFreq - ns - fFreq;
  const uint8_t flag = static_cast<uint8_t>(0x08 * HiBit(fSymbol));
  for (; c != mc; c = Suffix(c)) {
    unsigned ns1 = c->NumStats;
    if (ns1 != 0) {
      if (ns1 & 1) {
        // The table is full: grow it by one unit when the size class changes.
        unsigned oldNU = (ns1 + 1) >> 1;
        unsigned i = U2I(oldNU);
        if (i != U2I(oldNU + 1)) {
          void* p = AllocUnits(i + 1);
          if (!p) {
            RestoreModel(c);
            return;
          }
          void* old = Stats(c);
          std::memcpy(p, old, oldNU * kUnitSize);
          InsertNode(old, i);
          c->Stats = Ref(p);
        }
      }
      c->SummFreq = static_cast<uint16_t>(c->SummFreq + (3 * ns1 + 1 < ns));
    } else {
      TState* s2 = static_cast<TState*>(AllocUnits(0));
      if (!s2) {
        RestoreModel(c);
        return;
      }
      *s2 = *OneState(c);
      c->Stats = Ref(s2);
      if (s2->Freq < kMaxFreq / 4 - 1)
        s2->Freq = static_cast<uint8_t>(s2->Freq << 1);
      else
        s2->Freq = kMaxFreq - 4;
      c->SummFreq = static_cast<uint16_t>(s2->Freq + FInitEsc + (ns > 2));
    }
    uint32_t cf = 2 * fFreq * (c->SummFreq + 6u);
    uint32_t sf = s0 + c->SummFreq;
    if (cf < 6 * sf) {
      cf = 1 + (cf > sf) + (cf >= 4 * sf);
      c->SummFreq += 4;
    } else {
      cf = 4 + (cf > 9 * sf) + (cf > 12 * sf) + (cf > 15 * sf);
      c->SummFreq = static_cast<uint16_t>(c->SummFreq + cf);
    }
    TState* added = Stats(c) + ns1 + 1;
    SetSuccessor(added, successor);
    added->Symbol = static_cast<uint8_t>(fSymbol);
    added->Freq = static_cast<uint8_t>(cf);
    c->Flags |= flag;
    c->NumStats = static_cast<uint8_t>(ns1 + 1);
  }
  FMaxContext = FMinContext = Ctx(fSuccessor);
}

// Halves the frequencies of the current context (keeping the table sorted
// by frequency) and drops the symbols that fall to zero.
void TPpmdModel::Rescale() {
  TContext* mc = FMinContext;
  TState* stats = Stats(mc);
  TState* s = FFoundState;
  if (s != stats) {
    TState tmp = *s;
    do s[0] = s[-1];
    while (--s != stats);
    *s = tmp;
  }
  uint32_t escFreq = mc->SummFreq - s->Freq;
  s->Freq += 4;
  const unsigned adder = FOrderFall != 0;
  s->Freq = static_cast<uint8_t>((s->Freq + adder) >> 1);
  uint32_t sumFreq = s->Freq;

  unsigned i = mc->NumStats;
  do {
    escFreq -= (++s)->Freq;
    s->Freq = static_cast<uint8_t>((s->Freq + adder) >> 1);
    sumFreq += s->Freq;
    if (s[0].Freq > s[-1].Freq) {
      TState* s1 = s;
      TState tmp = *s1;
      do s1[0] = s1[-1];
      while (--s1 != stats && tmp.Freq > s1[-1].Freq);
      *s1 = tmp;
    }
  } while (--i);

  if (s->Freq == 0) {
    unsigned numStats = mc->NumStats;
    do ++i;
    while ((--s)->Freq == 0);
    escFreq += i;
    mc->NumStats = static_cast<uint8_t>(mc->NumStats - i);
    if (mc->NumStats == 0) {
      TState tmp = *stats;
      tmp.Freq = static_cast<uint8_t>(std::min<uint32_t>((2 * tmp.Freq + escFreq - 1) / escFreq, kMaxFreq / 3));
      InsertNode(stats, U2I((numStats + 2) >> 1));
      mc->Flags = static_cast<uint8_t>((mc->Flags & 0x10) + 0x08 * HiBit(tmp.Symbol));
      *(FFoundState = OneState(mc)) = tmp;
      return;
    }
    mc->Stats = Ref(ShrinkUnits(stats, (numStats + 2) >> 1, (mc->NumStats + 2) >> 1));
    stats = Stats(mc);
    unsigned flags = mc->Flags & ~0x08u;
    s = stats;
    flags |= 0x08 * HiBit(s->Symbol);
    i = mc->NumStats;
    do flags |= 0x08 * HiBit((++s)->Symbol);
    while (--i);
    mc->Flags = static_cast<uint8_t>(flags);
  }
  mc->SummFreq = static_cast<uint16_t>(sumFreq + escFreq - (escFreq >> 1));
  mc->Flags |= 0x04;
  FFoundState = stats;
}

void TPpmdModel::NextContext() {
  TContext* c = Ctx(Successor(FFoundState));
  if (FOrderFall == 0 && reinterpret_cast<uint8_t*>(c) >= FUnitsStart) {
    FMinContext = FMaxContext = c;
  } else {
    UpdateModel();
    FMinContext = FMaxContext;
  }
}

// First symbol of a context's table found.
void TPpmdModel::Update1_0() {
  TState* s = FFoundState;
  FPrevSuccess = 2u * s->Freq >= FMinContext->SummFreq;
  FRunLength += static_cast<int32_t>(FPrevSuccess);
  FMinContext->SummFreq += 4;
  if ((s->Freq += 4) > kMaxFreq) Rescale();
  NextContext();
}

// Another symbol of the table found: it may overtake its predecessor.
void TPpmdModel::Update1() {
  TState* s = FFoundState;
  s->Freq += 4;
  FMinContext->SummFreq += 4;
  if (s[0].Freq > s[-1].Freq) {
    SwapStates(&s[0], &s[-1]);
    FFoundState = --s;
    if (s->Freq > kMaxFreq) Rescale();
  }
  NextContext();
}

// Symbol found after escapes.
void TPpmdModel::Update2() {
  FMinContext->SummFreq += 4;
  if ((FFoundState->Freq += 4) > kMaxFreq) Rescale();
  FRunLength = FInitRL;
  UpdateModel();
  FMinContext = FMaxContext;
}

// The one symbol of a binary context found.
void TPpmdModel::UpdateBin() {
  FFoundState->Freq = static_cast<uint8_t>(FFoundState->Freq + (FFoundState->Freq < 196));
  FPrevSuccess = 1;
  FRunLength++;
  NextContext();
}

// The escape estimate of a context reached by escaping, from the secondary
// estimation cell chosen by its size, fullness and flags.
TSee* TPpmdModel::MakeEscFreq(unsigned NumMasked, uint32_t& EscFreq) {
  TContext* mc = FMinContext;
  unsigned numStats = mc->NumStats;
  if (numStats == 0xFF) {
    EscFreq = 1;
    return &FDummySee;
  }
  unsigned row = numStats ? kTables.QTable[numStats + 2] - 3u : 0;
  TSee* see = &FSee[row][(mc->SummFreq > 11 * (numStats + 1)) +
                         2 * (2 * numStats < static_cast<unsigned>(Suffix(mc)->NumStats) + NumMasked) +
                         (mc->Flags & 0x1C)];
  unsigned r = see->Summ >> see->Shift;
  see->Summ = static_cast<uint16_t>(see->Summ - r);
  EscFreq = r + (r == 0);
  return see;
}

// ---------------------------------------------------------------------------
// Decoding one symbol
// ---------------------------------------------------------------------------

int TPpmdModel::DecodeSymbol() {
  TContext* mc = FMinContext;
  if (mc->NumStats != 0) {
    TState* s = Stats(mc);
    const uint32_t summ = mc->SummFreq;
    const uint32_t count = GetThreshold(summ);
    uint32_t hiCnt = s->Freq;
    if (count < hiCnt) {
      Decode(0, hiCnt);
      FFoundState = s;
      unsigned sym = s->Symbol;
      Update1_0();
      return static_cast<int>(sym);
    }
    FPrevSuccess = 0;
    unsigned i = mc->NumStats;
    do {
      if ((hiCnt += (++s)->Freq) > count) {
        Decode(hiCnt - s->Freq, s->Freq);
        FFoundState = s;
        unsigned sym = s->Symbol;
        Update1();
        return static_cast<int>(sym);
      }
    } while (--i);
    if (count >= summ) throw EAbCorruptData("PPMd code out of range");
    Decode(hiCnt, summ - hiCnt);
    NewMaskGeneration();
    i = mc->NumStats + 1u;
    s = Stats(mc);
    do FCharMask[(s++)->Symbol] = FEscCount;
    while (--i);
  } else {
    TState* s = OneState(mc);
    const unsigned col = kTables.NS2BSIndx[Suffix(mc)->NumStats] + FPrevSuccess + (mc->Flags & 0x1C) +
                         ((static_cast<uint32_t>(FRunLength) >> 26) & 0x20);
    uint16_t& bs = FBinSumm[BinRow(s->Freq)][col];
    const unsigned prob = bs;
    if ((FCode / (FRange >>= kTotBits)) < prob) {
      bs = static_cast<uint16_t>(prob + kInterval - ((prob + (1 << (kPeriodBits - 2))) >> kPeriodBits));
      FRange *= prob;
      Normalize();
      FFoundState = s;
      unsigned sym = s->Symbol;
      UpdateBin();
      return static_cast<int>(sym);
    }
    bs = static_cast<uint16_t>(prob - ((prob + (1 << (kPeriodBits - 2))) >> kPeriodBits));
    Decode(prob, kBinScale - prob);
    FInitEsc = kExpEscape[bs >> 10];
    NewMaskGeneration();
    FCharMask[s->Symbol] = FEscCount;
    FPrevSuccess = 0;
  }

  // Escapes: on down the suffix path, skipping contexts that hold nothing
  // but symbols already ruled out.
  for (;;) {
    const unsigned numMasked = FMinContext->NumStats;
    do {
      FOrderFall++;
      if (!FMinContext->Suffix) return -1;  // escape out of order 0: the end
      FMinContext = Suffix(FMinContext);
    } while (FMinContext->NumStats == numMasked);
    mc = FMinContext;

    // The symbols not yet ruled out, in table order. Whether a symbol is
    // masked follows no pattern, so the scan does without a branch on it.
    // It stops after the expected count, as the encoder's does; the table's
    // end bounds it when rescaling has left fewer.
    TState* ps[256];
    TState* s = Stats(mc);
    TState* const end = s + mc->NumStats + 1;
    const unsigned want = mc->NumStats - numMasked;
    const uint8_t gen = FEscCount;
    unsigned n = 0;
    uint32_t hiCnt = 0;
    for (; s != end && n != want; ++s) {
      const unsigned open = FCharMask[s->Symbol] != gen;
      ps[n] = s;
      n += open;
      hiCnt += s->Freq & (0u - open);
    }

    uint32_t escFreq;
    TSee* see = MakeEscFreq(numMasked, escFreq);
    const uint32_t freqSum = escFreq + hiCnt;
    const uint32_t count = GetThreshold(freqSum);
    if (count < hiCnt) {
      TState** pps = ps;
      uint32_t lo = 0;
      while (lo + (*pps)->Freq <= count) lo += (*pps++)->Freq;
      s = *pps;
      Decode(lo, s->Freq);
      if (see->Shift < kPeriodBits && --see->Count == 0) {
        see->Summ = static_cast<uint16_t>(see->Summ << 1);
        see->Count = static_cast<uint8_t>(3 << see->Shift++);
      }
      FFoundState = s;
      unsigned sym = s->Symbol;
      Update2();
      return static_cast<int>(sym);
    }
    if (count >= freqSum) throw EAbCorruptData("PPMd code out of range");
    Decode(hiCnt, freqSum - hiCnt);
    see->Summ = static_cast<uint16_t>(see->Summ + freqSum);
    for (unsigned k = 0; k < n; ++k) FCharMask[ps[k]->Symbol] = FEscCount;
  }
}


} // namespace


// ---------------------------------------------------------------------------
// The item
// ---------------------------------------------------------------------------

void DecodePpmdItem(rtl::TStream* Src, rtl::TStream* Des) {
  if (!Src || !Des) rtl::Assert("DecodePpmdItem: missing stream");
  auto reader = std::make_unique<TPpmdByteReader>(Src);

  unsigned word = reader->ReadByte();
  word |= static_cast<unsigned>(reader->ReadByte()) << 8;
  const unsigned order = (word & 0x0F) + 1;
  const uint32_t memSize = (((word >> 4) & 0xFF) + 1) << 20;
  const unsigned restore = word >> 12;
  if (order < 2) throw EAbCorruptData("PPMd model order 1");
  if (restore > kRestoreCutOff) throw EAbCorruptData(rtl::Format("PPMd restore method %u", restore));
  // The eight memory bits cannot ask for more than the engine's decoder
  // limit; should either ever change, this stops the build.
  static_assert((int64_t{0xFF + 1} << 20) <= AbDecoderMemoryLimit, "PPMd's largest model exceeds the decoder limit");

  auto model = std::make_unique<TPpmdModel>(memSize, *reader);
  model->StartDecoder();
  model->StartModel(order, restore);

  // Output goes out in blocks of 4 KiB.
  uint8_t block[4096];
  size_t used = 0;
  for (;;) {
    int sym = model->DecodeSymbol();
    if (sym < 0) break;
    block[used++] = static_cast<uint8_t>(sym);
    if (used == sizeof block) {
      Des->WriteBuffer(block, static_cast<int64_t>(used));
      used = 0;
    }
  }
  if (used) Des->WriteBuffer(block, static_cast<int64_t>(used));
}

} // namespace ab
