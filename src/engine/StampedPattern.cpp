#include "engine/StampedPattern.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>


#include "engine/Crc32.h"
#include "platform/CrcKernel.h"

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

namespace {

// The bare register update of CRC-32/MPEG-2 from dwRegister over the bytes,
// without the initial value: CCrc32::Compute(p, n) is CrcRun(~0u, p, n).
uint32_t CrcRun(uint32_t dwRegister, const uint8_t* pData, size_t nLength) {
  return CrcMpeg2Update(dwRegister, pData, nLength);
}

}  // namespace

bool CUnitStamper::Prepare(const uint8_t* pPattern, size_t nBufferBytes, const StampIdentity& id) {
  m_id = id;
  m_nBufferBytes = nBufferBytes;
  const uint32_t dwUnit = id.dwUnitBytes;
  const size_t nCovered = dwUnit - sizeof(uint32_t);  // what the checksum covers
  std::vector<uint8_t> unit;
  try {
    m_baseChecksum.assign(nBufferBytes / dwUnit, 0);
    unit.assign(dwUnit, 0);
  } catch (const std::bad_alloc&) {
    m_baseChecksum.clear();
    return false;
  }
  // A byte's share is linear in its value: the register run from zero over
  // a unit that holds only that byte, built up bit by bit.
  const auto share = [&](size_t nAt, uint32_t dwBit) {
    std::fill(unit.begin(), unit.end(), 0);
    unit[nAt] = static_cast<uint8_t>(1u << dwBit);
    return CrcRun(0, unit.data() + sizeof(uint32_t), nCovered);
  };
  const auto fill = [&](uint32_t(&adwTable)[256], size_t nAt) {
    uint32_t adwBit[8];
    for (uint32_t b = 0; b < 8; ++b) adwBit[b] = share(nAt, b);
    for (uint32_t v = 0; v < 256; ++v) {
      adwTable[v] = 0;
      for (uint32_t b = 0; b < 8; ++b) {
        if ((v >> b) & 1) adwTable[v] ^= adwBit[b];
      }
    }
  };
  for (size_t k = 0; k < 8; ++k) fill(m_adwOffsetByte[k], offsetof(StampHeader, qwOffset) + k);
  for (size_t k = 0; k < 4; ++k) fill(m_adwPassByte[k], offsetof(StampHeader, dwPass) + k);
  for (size_t u = 0; u < m_baseChecksum.size(); ++u) {
    std::memcpy(unit.data(), pPattern + u * dwUnit, dwUnit);
    StampUnits(unit.data(), dwUnit, 0, 0, id);
    std::memcpy(&m_baseChecksum[u], unit.data(), sizeof(uint32_t));
  }
  return !m_baseChecksum.empty();
}

uint32_t CUnitStamper::PassPart(uint32_t dwPass) const {
  return m_adwPassByte[0][dwPass & 0xFF] ^ m_adwPassByte[1][(dwPass >> 8) & 0xFF] ^
         m_adwPassByte[2][(dwPass >> 16) & 0xFF] ^ m_adwPassByte[3][dwPass >> 24];
}

uint32_t CUnitStamper::HighOffsetPart(uint64_t qwOffset) const {
  uint32_t dwPart = 0;
  for (int k = 2; k < 8; ++k) dwPart ^= m_adwOffsetByte[k][(qwOffset >> (8 * k)) & 0xFF];
  return dwPart;
}

template <typename UnitFn>
bool CUnitStamper::ForEachHeader(size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass, UnitFn&& pfnUnit) const {
  const uint32_t dwUnit = m_id.dwUnitBytes;
  StampHeader header{0, kStampMagic, 0, m_id.qwRunId, dwPass, static_cast<uint16_t>(m_id.dwSlot),
                     static_cast<uint16_t>(std::countr_zero(dwUnit))};
  const uint32_t dwPassPart = PassPart(dwPass);
  uint64_t qwHighOf = ~uint64_t{0};
  uint32_t dwFixedPart = 0;  // the pass's share and the offset's above its low two bytes
  for (size_t n = 0; n + dwUnit <= nBytes; n += dwUnit) {
    const uint64_t qwOffset = qwFileOffset + n;
    if ((qwOffset >> 16) != qwHighOf) {
      qwHighOf = qwOffset >> 16;
      dwFixedPart = dwPassPart ^ HighOffsetPart(qwOffset);
    }
    header.qwOffset = qwOffset;
    header.dwChecksum = m_baseChecksum[(n % m_nBufferBytes) / dwUnit] ^ dwFixedPart ^
                        m_adwOffsetByte[0][qwOffset & 0xFF] ^ m_adwOffsetByte[1][(qwOffset >> 8) & 0xFF];
    if (!pfnUnit(n, header)) return false;
  }
  return true;
}

void CUnitStamper::Stamp(uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass) const {
  (void)ForEachHeader(nBytes, qwFileOffset, dwPass, [&](size_t n, const StampHeader& header) {
    std::memcpy(pBuffer + n, &header, sizeof header);
    return true;
  });
}

bool CUnitStamper::Matches(const uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass,
                           const uint8_t* pPattern) const {
  const size_t nBody = m_id.dwUnitBytes - kStampHeaderBytes;
  return ForEachHeader(nBytes, qwFileOffset, dwPass, [&](size_t n, const StampHeader& header) {
    const size_t nInBuffer = n % m_nBufferBytes;
    return std::memcmp(pBuffer + n, &header, sizeof header) == 0 &&
           std::memcmp(pBuffer + n + kStampHeaderBytes, pPattern + nInBuffer + kStampHeaderBytes, nBody) == 0;
  });
}

namespace {

constexpr uint32_t kSpoiledMagic = ~kStampMagic;

}  // namespace

bool CUnitStamper::MatchesThenSpoil(uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass,
                                    const uint8_t* pPattern) const {
  const size_t nBody = m_id.dwUnitBytes - kStampHeaderBytes;
  size_t nSpoiled = 0;
  const bool bMatched = ForEachHeader(nBytes, qwFileOffset, dwPass, [&](size_t n, const StampHeader& header) {
    const size_t nInBuffer = n % m_nBufferBytes;
    if (std::memcmp(pBuffer + n, &header, sizeof header) != 0 ||
        std::memcmp(pBuffer + n + kStampHeaderBytes, pPattern + nInBuffer + kStampHeaderBytes, nBody) != 0) {
      return false;
    }
    std::memcpy(pBuffer + n + offsetof(StampHeader, dwMagic), &kSpoiledMagic, sizeof kSpoiledMagic);
    nSpoiled = n + m_id.dwUnitBytes;
    return true;
  });
  if (!bMatched) {
    // Every unit before the bad one matched, so its magic was ours.
    for (size_t n = 0; n < nSpoiled; n += m_id.dwUnitBytes) {
      std::memcpy(pBuffer + n + offsetof(StampHeader, dwMagic), &kStampMagic, sizeof kStampMagic);
    }
  }
  return bMatched;
}

void PoisonUnits(uint8_t* pBuffer, size_t nBytes, uint32_t dwUnitBytes) {
  for (size_t n = 0; n + dwUnitBytes <= nBytes; n += dwUnitBytes) {
    std::memcpy(pBuffer + n + offsetof(StampHeader, dwMagic), &kSpoiledMagic, sizeof kSpoiledMagic);
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
  if (verdict.first.state != UnitState::kStale || verdict.aqwUnits[static_cast<int>(UnitState::kMisdirected)] == 0) {
    return verdict;
  }
  // Only after a failure: which misplaced unit of this worker's, if any,
  // holds this pass's data for a place in the buffer that is stale.
  for (size_t n = 0; n + id.dwUnitBytes <= nBytes; n += id.dwUnitBytes) {
    const UnitFinding finding = JudgeUnit(pBuffer + n, qwFileOffset + n, dwPass, id);
    const uint64_t qwMissed = finding.qwFoundOffset - qwFileOffset;
    if (finding.state != UnitState::kMisdirected || finding.dwFoundSlot != id.dwSlot ||
        finding.dwFoundPass != dwPass || finding.qwFoundOffset < qwFileOffset || qwMissed >= nBytes ||
        nBytes - qwMissed < id.dwUnitBytes || qwMissed % id.dwUnitBytes != 0 ||
        JudgeUnit(pBuffer + qwMissed, finding.qwFoundOffset, dwPass, id).state != UnitState::kStale) {
      continue;
    }
    verdict.first = finding;
    verdict.qwFirstBadOffset = qwFileOffset + n;
    break;
  }
  return verdict;
}

}  // namespace stratavon
