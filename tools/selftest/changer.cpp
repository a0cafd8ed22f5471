// tape_selftest's changer commands, decoded by the command layer (scsi/changer.h).
#include "selftest/changer.h"

#include <cstdio>

#include "scsi/changer.h"
#include "support/printable.h"

namespace selftest {

namespace {

using namespace scsi::changer;

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04Xh", value & 0xFFFF);
  return text;
}

std::string range_text(const ElementRange& r) {
  return r.count == 0 ? "none" : std::to_string(r.count) + " from " + hex4(r.first);
}

// "full, barcode ABC123L8, from 1000h, identifier drive0"
std::string element_text(const ElementStatus& e) {
  std::string text = e.full ? "full" : "empty";
  if (e.full && e.volume_tag) {
    text += e.volume_tag->empty() ? ", no barcode" : ", barcode " + printable(*e.volume_tag);
  }
  if (e.full && e.source) text += ", from " + hex4(*e.source);
  if (e.except) {
    char code[16];
    std::snprintf(code, sizeof(code), "%02Xh/%02Xh", e.asc, e.ascq);
    text += std::string(", exception ") + code;
  }
  if (!e.access) text += ", out of the robot's reach";
  if (!e.identifier.empty()) text += ", identifier " + printable(e.identifier);
  return text;
}

ChangerAnswer inventory(SCSI_DEVICE_PARAM* device) {
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ChangerAnswer a;
  if (const std::optional<ElementAssignment> e = read_element_assignment(device, &sense)) {
    a.fields = {{"Robots", range_text(e->robot)},
                {"Storage slots", range_text(e->storage)},
                {"Import/export", range_text(e->import_export)},
                {"Drives", range_text(e->drive)}};
  }
  std::string error;
  const std::optional<ElementReport> report = read_element_status(device, {}, &sense, &error);
  a.good = report.has_value();
  if (!report) {
    if (!error.empty()) a.fields.emplace_back("Element status", "cannot be decoded: " + error);
    return a;
  }
  for (const ElementStatus& e : report->elements) {
    a.fields.emplace_back(std::string(element_type_name(e.type)) + " " + hex4(e.address),
                          element_text(e));
  }
  if (!report->complete) a.fields.emplace_back("Element status", "cut short by the changer");
  return a;
}

}  // namespace

bool is_changer_command(const std::string& name) {
  return name == "inventory" || name == "move" || name == "load" || name == "unload" ||
         name == "serial";
}

ChangerAnswer ask_changer(SCSI_DEVICE_PARAM* device, const std::string& name,
                          const std::vector<int64_t>& args) {
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  if (name == "inventory") return inventory(device);
  if (name == "move") {
    return {move_medium(device, kRobotElement, static_cast<uint16_t>(args[0]),
                        static_cast<uint16_t>(args[1]), &sense),
            {}};
  }
  if (name == "serial") {
    const std::optional<std::string> serial = read_unit_serial(device, &sense);
    ChangerAnswer a{serial.has_value(), {}};
    if (serial)
      a.fields.emplace_back("Serial number", serial->empty() ? "(empty)" : printable(*serial));
    return a;
  }
  return {load_unload(device, name == "load", &sense), {}};
}

}  // namespace selftest
