#include "engine/StampedPattern.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <random>

#include "engine/Crc32.h"

namespace stratavon {

bool g_bStampedPattern = false;
uint64_t g_qwStampRunId = 0;

uint64_t NewStampRunId() {
  std::random_device device;
  uint64_t qwId = 0;
  // Zero would read like an unstamped header's field.
  while (qwId == 0) qwId = (uint64_t{device()} << 32) ^ device();
  return qwId;
}

std::string StampRunIdText(uint64_t qwRunId) {
  char sz[20];
  std::snprintf(sz, sizeof sz, "%016llx", static_cast<unsigned long long>(qwRunId));
  return sz;
}

uint32_t StampUnitBytes(uint32_t dwBytesPerSector) {
  return dwBytesPerSector > kStampMinUnitBytes && std::has_single_bit(dwBytesPerSector) ? dwBytesPerSector
                                                                                         : kStampMinUnitBytes;
}

namespace {

uint32_t UnitChecksum(const uint8_t* pUnit, uint32_t dwUnitBytes) {
  return CCrc32::Compute(pUnit + sizeof(uint32_t), dwUnitBytes - sizeof(uint32_t));
}

}  // namespace

void StampUnits(uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass, const StampIdentity& id) {
  const uint32_t dwUnit = id.dwUnitBytes;
  StampHeader header{0, kStampMagic, 0, id.qwRunId, dwPass, static_cast<uint16_t>(id.dwSlot),
                     static_cast<uint16_t>(std::countr_zero(dwUnit))};
  for (size_t n = 0; n + dwUnit <= nBytes; n += dwUnit) {
    uint8_t* pUnit = pBuffer + n;
    header.qwOffset = qwFileOffset + n;
    std::memcpy(pUnit, &header, sizeof header);
    const uint32_t dwChecksum = UnitChecksum(pUnit, dwUnit);
    std::memcpy(pUnit, &dwChecksum, sizeof dwChecksum);
  }
}

void PoisonUnits(uint8_t* pBuffer, size_t nBytes, uint32_t dwUnitBytes) {
  for (size_t n = 0; n + dwUnitBytes <= nBytes; n += dwUnitBytes) {
    const uint32_t dwNotOurs = ~kStampMagic;
    std::memcpy(pBuffer + n + offsetof(StampHeader, dwMagic), &dwNotOurs, sizeof dwNotOurs);
  }
}

const char* UnitStateWord(UnitState state) {
  switch (state) {
    case UnitState::kGood:
      return "GOOD";
    case UnitState::kCorrupt:
      return "CORRUPT";
    case UnitState::kMisdirected:
      return "MISDIRECTED";
    case UnitState::kStale:
      return "STALE";
    case UnitState::kForeign:
      return "FOREIGN";
  }
  return "FOREIGN";
}

bool ReadStampHeader(const uint8_t* pUnit, uint32_t dwUnitBytes, StampHeader* pHeader) {
  std::memcpy(pHeader, pUnit, sizeof *pHeader);
  return pHeader->dwMagic == kStampMagic && pHeader->wUnitShift == std::countr_zero(dwUnitBytes) &&
         pHeader->dwChecksum == UnitChecksum(pUnit, dwUnitBytes);
}

UnitFinding JudgeUnit(const uint8_t* pUnit, uint64_t qwOffset, uint32_t dwPass, const StampIdentity& id) {
  UnitFinding finding;
  StampHeader header;
  if (!ReadStampHeader(pUnit, id.dwUnitBytes, &header)) {
    // A header of ours whose checksum fails was damaged; anything else was never ours.
    const bool bOurs = header.dwMagic == kStampMagic && header.qwRunId == id.qwRunId;
    finding.state = bOurs ? UnitState::kCorrupt : UnitState::kForeign;
    return finding;
  }
  finding.qwFoundOffset = header.qwOffset;
  finding.dwFoundPass = header.dwPass;
  finding.dwFoundSlot = header.wSlot;
  finding.qwFoundRunId = header.qwRunId;
  if (header.qwRunId != id.qwRunId) {
    finding.state = UnitState::kForeign;
  } else if (header.qwOffset != qwOffset || header.wSlot != id.dwSlot) {
    finding.state = UnitState::kMisdirected;
  } else if (header.dwPass < dwPass) {
    finding.state = UnitState::kStale;
  } else if (header.dwPass > dwPass) {
    finding.state = UnitState::kCorrupt;
  }
  return finding;
}

bool UnitsGood(const uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass, const StampIdentity& id) {
  const uint32_t dwUnit = id.dwUnitBytes;
  const uint16_t wShift = static_cast<uint16_t>(std::countr_zero(dwUnit));
  for (size_t n = 0; n + dwUnit <= nBytes; n += dwUnit) {
    StampHeader header;
    std::memcpy(&header, pBuffer + n, sizeof header);
    if (header.dwMagic != kStampMagic || header.qwOffset != qwFileOffset + n || header.qwRunId != id.qwRunId ||
        header.dwPass != dwPass || header.wSlot != id.dwSlot || header.wUnitShift != wShift ||
        header.dwChecksum != UnitChecksum(pBuffer + n, dwUnit)) {
      return false;
    }
  }
  return true;
}

StampVerdict JudgeUnits(const uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass,
                        const StampIdentity& id) {
  StampVerdict verdict;
  for (size_t n = 0; n + id.dwUnitBytes <= nBytes; n += id.dwUnitBytes) {
    const UnitFinding finding = JudgeUnit(pBuffer + n, qwFileOffset + n, dwPass, id);
    ++verdict.aqwUnits[static_cast<int>(finding.state)];
    if (finding.state != UnitState::kGood && verdict.Good()) {
      verdict.first = finding;
      verdict.qwFirstBadOffset = qwFileOffset + n;
    }
  }
  return verdict;
}

}  // namespace stratavon
