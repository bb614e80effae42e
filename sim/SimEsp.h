// Simulated ESP device: factory and update partitions, image pieces and block
// transfer, decryption of encrypted images, the image check with its ready
// report, numbered storage items (NVS), binary report records with time
// stamps and heartbeats, and the version report sent after each connection.
#pragma once

#include "sim/SimDevice.h"

namespace zor {

constexpr uint32_t SimEspMaxImage = 0x400000;
constexpr uint8_t SimEspImageMagic = 0xE9;

class TSimEsp : public TSimDevice {
 public:
  explicit TSimEsp(const TSimConfig &config);

  // Our own reversible transform for encrypted images: byte i of the image
  // is XORed with (i * 0x1D + 0xA5) mod 256. Applying it twice gives the
  // original, so the same function encrypts (the sample generator does so).
  // `from` is the image position of image[from] (the index counts from the image start).
  static void Crypt(std::string &image, size_t from = 0);

  // Bytes of the image received so far (pieces or block transfer).
  size_t ReceivedImageSize() const;

 protected:
  TSimAnswer DoExtended(const std::string &cmd, uint8_t user, std::string &note) override;
  TSimAnswer DoClassic(const std::string &cmd, uint8_t user, std::string &note) override;
  TSimAnswer DoBlockStart(uint32_t len, uint32_t addr, bool crypted, std::string &note) override;
  TSimAnswer DoBlockData(const std::string &bytes, std::string &note) override;
  TSimAnswer DoBlockEnd(std::string &note) override;
  void DoConnected(uint8_t user) override;
  void DoTick(uint32_t now) override;
  void DoPowerUp() override;
  uint32_t DoIpAddress() const override;
  int DoFirmwareVersion() const override;
  uint32_t DoSerialNumber() const override;
  void CorruptOutput(TSimOutput &out) override;

 private:
  TSimAnswer ImagePiece(const std::string &cmd, std::string &note);
  TSimAnswer DecryptImage(const std::string &cmd, std::string &note);
  TSimAnswer CheckImage(uint32_t size, std::string &note);
  TSimAnswer SwitchPartition(bool update, std::string &note);
  TSimAnswer NvsRead(const std::string &cmd, uint8_t user, std::string &note);
  TSimAnswer NvsWrite(const std::string &cmd, std::string &note);
  void SendRecord(uint8_t type, uint16_t w, uint32_t d, const std::string &values, TSimOutputKind kind,
                  uint8_t user);
  void SendVersion(uint8_t user);
  uint32_t NvsInteger(uint8_t n, uint32_t fallback) const;

  bool FRunningUpdate = false;  // the partition chosen at power-up is the update partition
  std::string FImage;           // received image (update partition being written)
  bool FReadyPending = false;
  uint32_t FReadyAt = 0;
  bool FBlockActive = false;
  bool FBlockCrypted = false;
  uint32_t FBlockStart = 0;
  uint32_t FBlockEnd = 0;  // image size the running block transfer ends at
  uint32_t FBufferPtr = 0;
  uint32_t FPowerUpTicks = 0;
  uint32_t FNextTimeStamp = 0;
  uint32_t FNextHeartbeat = 0;
};

}  // namespace zor
