#pragma once

// Battery: the driver for the battery monitor's serial protocol. It runs the
// polling cycle (cell voltages, group voltage, group current, temperature),
// checks and scales the answers and reads the device settings. Decoding of
// the cell voltages, the cycle record and the threshold checks belong to the
// classes built on it.

#include <json/value.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "battery/link.h"
#include "host/device.h"

class Battery : public PXHSPDevice {
 public:
  // Control code of DeviceIoControl: set the history save interval (minutes).
  static constexpr int kControlSetSaveInterval = 100;
  static constexpr int kDefaultSaveIntervalSeconds = 28800;
  // "amount" entries appended per configuration call; a mistyped or hostile
  // amount must not exhaust the controller's memory.
  static constexpr int kMaxGroupAmount = 256;

  Battery();
  ~Battery() override;

  using PXHSPDevice::LoadFromCache;
  float Get_Value(unsigned int data_id, const std::string& name) const override;
  int LoadFromCache(const unsigned char* data, int length) override = 0;
  int DeviceIoControl(int code, const void* in, int in_length, void* out, int out_length,
                      int& result) override;
  void RoundDone() override = 0;
  int InitSetting(const Json::Value& config) override;
  int RefreshStatus() override;
  int process(unsigned char* data, unsigned int length) override;
  virtual int ProcessBatteryVoltage() = 0;

  static unsigned char GetMMCheckSum(const unsigned char* data, int len);

  void CallVoltage();
  void CallGroupVoltage();
  void CallCurrent();
  void CallTemperature();

 protected:
  // Kinds of the outstanding request, as held in cmd_type_ (0: none).
  enum class RequestKind : int {
    kNone = 0,
    kCellVoltages = 1,
    kGroupVoltage = 2,
    kGroupCurrent = 3,
    kTemperature = 4,
  };

  // Length of the answer to a request of `kind` (one of the four with a request).
  static std::size_t AnswerSize(RequestKind kind);
  // Ends the outstanding request without completing the cycle; returns
  // process's result for it (0). The next poll tick starts a new cycle.
  int GiveUp();

  // Lead byte, address and checksum of the first `size` bytes held; the
  // caller has checked that at least `size` bytes are held.
  bool HeldAnswerIsValid(std::size_t size) const;

  int cmd_type_ = static_cast<int>(RequestKind::kNone);
  int version_ = 1;
  int dir_ = 0;
  int retry_count_ = 0;
  float group_voltage_ = 0.0f;
  float group_current_ = 0.0f;
  float temperature_ = 0.0f;
  // appSetting battery_type, read and never used by the plug-in; kept so that
  // the setting is taken as before, and tests read it back.
  int battery_type_ = 0;
  float group_a_ = 1.0f;
  float group_b_ = 0.0f;
  float battery_adjust_ = 0.0f;
  std::vector<int> active_batteries_;
  std::vector<unsigned int> group_voltage_ids_;
  bool group_voltage_valid_ = true;
  int battery_start_ = 0;
  int current_ratio_ = 0;
  int r_data_id_ = 0;
  std::string r_current_field_;
  // Set by appSetting save_interval and DeviceIoControl code 100, in seconds.
  // The host keeps the history by its own interval and nothing here reads it;
  // kept so that the setting and the control code are taken as before, and
  // tests read it back.
  int save_interval_ = kDefaultSaveIntervalSeconds;
  // appSetting t0 and t31, read and never used; kept for the same reason as
  // battery_type_.
  float t0_ = 0.0f;
  float t31_ = 0.0f;

 private:
  // One row per request kind, in the order of the polling cycle (battery.cpp).
  struct Request {
    RequestKind kind;
    battery_link::Command command;
    std::size_t answer_size;
    // The decoder of a short answer; none for the cell answer, which goes to
    // ProcessBatteryVoltage.
    int (Battery::*decode)(float raw);
  };
  static const std::array<Request, battery_link::kRequestsPerCycle> kRequests;
  // The row of one of the four request kinds.
  static const Request& RequestOf(RequestKind kind);
  // The row of the kind held in cmd_type_; nullptr when it names no request.
  static const Request* Find(int kind);

  bool Idle() const;

  void SendRequest(RequestKind kind);
  void GatherChunk(const unsigned char* data, unsigned int length);
  int ProcessShortAnswer(const Request& request);
  int DecodeGroupVoltage(float raw);
  int DecodeGroupCurrent(float raw);
  int DecodeTemperature(float raw);

  void ReadNumericSettings(const Json::Value& settings);
  void ReadGroupSplit(const Json::Value& settings);
  void ReadListSettings(const Json::Value& settings);
};
