#include "engine/StampedPattern.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>

#include <isa-l/crc.h>

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

namespace {

// The bare register update of CRC-32/MPEG-2 from dwRegister over the bytes,
// without the initial value: CCrc32::Compute(p, n) is CrcRun(~0u, p, n).
// ISA-L inverts on the way in and out, which the two inversions undo.
uint32_t CrcRun(uint32_t dwRegister, const uint8_t* pData, size_t nLength) {
  return ~crc32_ieee(~dwRegister, pData, nLength);
}

}  // namespace

bool CUnitStamper::Prepare(const uint8_t* pPattern, size_t nBufferBytes, const StampIdentity& id) {
  m_id = id;
  m_nBufferBytes = nBufferBytes;
  const uint32_t dwUnit = id.dwUnitBytes;
  const size_t nBody = dwUnit - kStampHeaderBytes;
  try {
    m_bodyCrc.assign(nBufferBytes / dwUnit, 0);
    const std::vector<uint8_t> zeros(nBody, 0);
    for (int k = 0; k < 4; ++k) {
      for (uint32_t v = 0; v < 256; ++v) m_adwShift[k][v] = CrcRun(v << (8 * k), zeros.data(), nBody);
    }
  } catch (const std::bad_alloc&) {
    m_bodyCrc.clear();
    return false;
  }
  for (size_t u = 0; u < m_bodyCrc.size(); ++u) {
    m_bodyCrc[u] = CrcRun(0, pPattern + u * dwUnit + kStampHeaderBytes, nBody);
  }
  return !m_bodyCrc.empty();
}

StampHeader CUnitStamper::HeaderAt(size_t nInBuffer, uint64_t qwOffset, uint32_t dwPass) const {
  StampHeader header{0,      kStampMagic, qwOffset, m_id.qwRunId, dwPass, static_cast<uint16_t>(m_id.dwSlot),
                     static_cast<uint16_t>(std::countr_zero(m_id.dwUnitBytes))};
  // The register after the header, then carried past the body: linear, so
  // the body's own run from zero is XORed in.
  const uint32_t r = CrcRun(~0u, reinterpret_cast<const uint8_t*>(&header) + sizeof(uint32_t),
                            kStampHeaderBytes - sizeof(uint32_t));
  header.dwChecksum = m_adwShift[0][r & 0xFF] ^ m_adwShift[1][(r >> 8) & 0xFF] ^ m_adwShift[2][(r >> 16) & 0xFF] ^
                      m_adwShift[3][r >> 24] ^ m_bodyCrc[nInBuffer / m_id.dwUnitBytes];
  return header;
}

void CUnitStamper::Stamp(uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass) const {
  const uint32_t dwUnit = m_id.dwUnitBytes;
  for (size_t n = 0; n + dwUnit <= nBytes; n += dwUnit) {
    const StampHeader header = HeaderAt(n % m_nBufferBytes, qwFileOffset + n, dwPass);
    std::memcpy(pBuffer + n, &header, sizeof header);
  }
}

bool CUnitStamper::Matches(const uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass,
                           const uint8_t* pPattern) const {
  const uint32_t dwUnit = m_id.dwUnitBytes;
  for (size_t n = 0; n + dwUnit <= nBytes; n += dwUnit) {
    const size_t nInBuffer = n % m_nBufferBytes;
    const StampHeader header = HeaderAt(nInBuffer, qwFileOffset + n, dwPass);
    if (std::memcmp(pBuffer + n, &header, sizeof header) != 0 ||
        std::memcmp(pBuffer + n + kStampHeaderBytes, pPattern + nInBuffer + kStampHeaderBytes,
                    dwUnit - kStampHeaderBytes) != 0) {
      return false;
    }
  }
  return true;
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
