// The upgrade command set, host side.
//
// Every exchange sends one packet of command 95 to the module and, where an
// answer is expected, waits for the first packet from that module whose
// first two data bytes are 95 and the reply's option. Replies of earlier
// exchanges that came after their wait gave up are dropped before each
// request, so a late acknowledgement can never answer the next packet.
// A reply can also come twice, its copy after the next request has gone:
// so each reply is also matched on its own length (PREPARE, SUM and WRITE
// share their reply option and differ only in it), and a DATA
// acknowledgement never counts more bytes than its packet carried.
#include "app/UpdaterEntity.h"

#include <climits>
#include <cstring>

#include "api/SystemClass.h"
#include "common/aLink.h"
#include "common/aTime.h"
#include "common/aUEI.h"
#include "common/discover.h"
#include "log/Log.h"

using Velmaris::Korvex::Link;
using Velmaris::Korvex::Module;
using Velmaris::Korvex::SystemClass;

namespace {

#define UPGRADE_REPLY_TIMEOUT_MS 1000u
// Sends of one DATA packet whose acknowledged count is wrong, before the
// transfer gives up.
#define UPGRADE_DATA_SENDS 4
// A byte array travels as one run of at most 128 numbered packets.
#define UPGRADE_UEI_RUN_MAX aUEI_BYTES_RUN_MAX
#define UPGRADE_ADDRESS_WORD 4u
#define UPGRADE_RECONNECT_ATTEMPTS 5
#define UPGRADE_DEFAULT_SERIAL 0xDEADDEADu
#define UPGRADE_LOAD_RECONNECT_DELAY_MS 500u
// The reboot wait: steps of 250 ms, at most 10 s in all.
#define UPGRADE_REBOOT_STEP_MS 250u
#define UPGRADE_REBOOT_STEPS 40
#define UPGRADE_SPINNER_LABEL "Verifying Update"
// Reply lengths (data bytes, command byte included); INIT's is the least.
#define UPGRADE_INIT_REPLY 6
#define UPGRADE_PREPARE_REPLY 5
#define UPGRADE_DATA_REPLY 3
#define UPGRADE_SUM_REPLY 7
#define UPGRADE_WRITE_REPLY 3

struct ReplyMatch {
  uint8_t address;
  uint8_t option;
  uint8_t length;     // data bytes of the reply; 0: any
  uint8_t countMost;  // the largest count a DATA acknowledgement may carry
};

// A reply of this exchange from this module.
uint8_t MatchUpgradeReply(const aPacket* packet, const void* reference) {
  const ReplyMatch* match = static_cast<const ReplyMatch*>(reference);
  if (!aVALIDPACKET(packet) || packet->address != match->address || packet->dataSize < 2 ||
      packet->data[0] != cmdUPGRADE || packet->data[1] != match->option)
    return 0;
  if (match->length != 0 && packet->dataSize != match->length) return 0;
  return match->option != val_UPGRADE_DATA || packet->data[2] <= match->countMost ? 1 : 0;
}

// Any raw upgrade reply from this module (UEI acknowledgements carry the
// operation bits and are left to the UEI layer).
uint8_t MatchStaleUpgradeReply(const aPacket* packet, const void* reference) {
  const ReplyMatch* match = static_cast<const ReplyMatch*>(reference);
  return aVALIDPACKET(packet) && packet->address == match->address && packet->dataSize >= 2 &&
                 packet->data[0] == cmdUPGRADE && (packet->data[1] & ~aUEI_OPTION_MASK) == 0
             ? 1
             : 0;
}

uint32_t BigEndian32(const uint8_t* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
         uint32_t(bytes[3]);
}

uint32_t LittleEndian32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16) |
         (uint32_t(bytes[3]) << 24);
}

// A block holds its address word and fits the traces' int counts.
bool BlockUsable(const uint8_t* block, size_t length) {
  return block != nullptr && length >= UPGRADE_ADDRESS_WORD && length <= size_t(INT_MAX);
}

uint32_t ByteSum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

struct DefaultSerialSearch {
  uint32_t found;
  linkSpec spec;
};

bool CountDefaultSerial(const linkSpec* record, bool* counted, void* context) {
  DefaultSerialSearch* search = static_cast<DefaultSerialSearch*>(context);
  if (record->serialNumber != UPGRADE_DEFAULT_SERIAL) return true;
  if (search->found == 0) search->spec = *record;
  ++search->found;
  *counted = true;
  return true;
}

}  // namespace

void UpdaterEntity::init(Module* module, uint8_t index, bool validate, bool router) {
  EntityClass::init(module, cmdUPGRADE, index);
  module_ = module;
  validateSums = validate;
  throughRouter = router;
  ueiData = false;
}

// ---- exchanges ----------------------------------------------------------------

aErr UpdaterEntity::sendRequest(const uint8_t* bytes, uint8_t length) {
  Link* link = module_ != nullptr ? module_->getLink() : nullptr;
  if (link != nullptr && link->getLinkId() != 0) {
    const ReplyMatch stale{module_->getModuleAddress(), 0, 0, 0};
    aLink_DrainPackets(link->getLinkId(), MatchStaleUpgradeReply, &stale);
  }
  return sendPacket(cmdUPGRADE, length, bytes);
}

aErr UpdaterEntity::awaitReply(uint8_t option, uint8_t replyLength, uint8_t* data,
                               uint8_t& length, uint8_t countMost) {
  length = 0;
  Link* link = module_ != nullptr ? module_->getLink() : nullptr;
  if (link == nullptr) return aErrResource;
  if (!link->isConnected()) return aErrConnection;
  const ReplyMatch match{module_->getModuleAddress(), option, replyLength, countMost};
  aPacket* reply =
      aLink_AwaitFirst(link->getLinkId(), MatchUpgradeReply, &match, UPGRADE_REPLY_TIMEOUT_MS);
  if (reply == nullptr) return aErrTimeout;
  length = reply->dataSize;
  std::memcpy(data, reply->data, reply->dataSize);
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  const uint8_t request[] = {val_UPGRADE_INIT};
  aErr err = sendRequest(request, sizeof(request));
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", int(err));
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = awaitReply(val_UPGRADE_INIT, 0, reply, length);
  if (err != aErrNone) return err;
  if (length < UPGRADE_INIT_REPLY) return aErrPacket;
  const uint32_t base = BigEndian32(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), unsigned(base));
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, size_t length, uint8_t flags,
                                    uint16_t& blockSize) {
  if (!BlockUsable(block, length)) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length),
           unsigned(flags), int(blockSize));
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
           "%02X]} \n",
           unsigned(flags), unsigned(block[0]), unsigned(block[1]), unsigned(block[2]),
           unsigned(block[3]));
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(BigEndian32(block)));
  const uint8_t request[] = {val_UPGRADE_PREPARE, flags, block[0], block[1], block[2], block[3]};
  aErr err = sendRequest(request, sizeof(request));
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", int(err));
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  err = awaitReply(val_UPGRADE_STATUS, UPGRADE_PREPARE_REPLY, reply, replyLength);
  if (err != aErrNone) return err;
  if (reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  blockSize = uint16_t((reply[3] << 8) | reply[4]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
           int(blockSize));
  return aErrNone;
}

aErr UpdaterEntity::FirmwareWrite(uint16_t chunkLength) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
           int(chunkLength));
  const uint8_t request[] = {val_UPGRADE_WRITE, uint8_t(chunkLength >> 8), uint8_t(chunkLength)};
  aErr err = sendRequest(request, sizeof(request));
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", int(err),
             aError_GetErrorText(err));
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = awaitReply(val_UPGRADE_STATUS, UPGRADE_WRITE_REPLY, reply, length);
  if (err != aErrNone || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return aErrInvalidOption;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

// ---- data transfers ---------------------------------------------------------------

// The chunk as byte arrays of option 10, each within one numbered run.
aErr UpdaterEntity::transferUEI(const uint8_t* data, size_t length, uint32_t& sum,
                                uint32_t& packets) {
  uint32_t arrays = 0;
  size_t sent = 0;
  do {
    const size_t piece = length - sent < UPGRADE_UEI_RUN_MAX ? length - sent : UPGRADE_UEI_RUN_MAX;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
             int(piece));
    aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data + sent, piece);
    if (err != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", int(err));
      return err;
    }
    sum += ByteSum(data + sent, piece);
    sent += piece;
    ++arrays;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(piece));
  } while (sent < length);
  packets = arrays;
  return aErrNone;
}

// The chunk as DATA packets of at most 26 bytes, each awaiting its count.
aErr UpdaterEntity::transferPackets(const uint8_t* data, size_t length, uint32_t& sum,
                                    uint32_t& packets, size_t& sent, bool& sendFailed) {
  sendFailed = false;
  int sends = 0;
  while (sent < length) {
    const size_t k = length - sent < UPGRADE_DATA_MAX ? length - sent : UPGRADE_DATA_MAX;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
             int(k));
    uint8_t request[1 + UPGRADE_DATA_MAX] = {val_UPGRADE_DATA};
    std::memcpy(request + 1, data + sent, k);
    aErr err = sendRequest(request, uint8_t(1 + k));
    if (err != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", int(err));
      sendFailed = true;
      return err;
    }
    ++sends;
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    err = awaitReply(val_UPGRADE_DATA, UPGRADE_DATA_REPLY, reply, replyLength, uint8_t(k));
    if (err != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
      return aErrPacket;
    }
    if (reply[2] != k) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
               int(reply[2]), int(k));
      if (sends >= UPGRADE_DATA_SENDS) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Giving up on a data packet after %d sends.\n",
                 sends);
        return aErrPacket;
      }
      continue;
    }
    sends = 0;
    sum += ByteSum(data + sent, k);
    sent += k;
    ++packets;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
             int(k), int(length - sent), int(length));
  }
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, size_t length, uint32_t& packets) {
  if ((data == nullptr && length != 0) || length > size_t(INT_MAX)) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  uint32_t sum = 0;
  size_t sent = 0;
  aErr err;
  if (ueiData) {
    err = transferUEI(data, length, sum, packets);
    if (err != aErrNone) return err;
    sent = length;
  } else {
    bool sendFailed = false;
    err = transferPackets(data, length, sum, packets, sent, sendFailed);
    if (sendFailed) return err;
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(sent), int(length));
  if (err != aErrNone || !validateSums) return err;

  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  const uint8_t request[] = {val_UPGRADE_SUM};
  err = sendRequest(request, sizeof(request));
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_SUM (%d)\n", int(err));
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  err = awaitReply(val_UPGRADE_STATUS, UPGRADE_SUM_REPLY, reply, replyLength);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return aErrPacket;
  }
  const uint8_t status = reply[2];
  const uint32_t moduleSum = BigEndian32(reply + 3);
  if (status == 0 && moduleSum == sum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
             unsigned(status), unsigned(sum), unsigned(moduleSum), int(packets));
    return aErrNone;
  }
  Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", unsigned(status),
           unsigned(sum), unsigned(moduleSum));
  return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, size_t length) {
  if (!BlockUsable(block, length)) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n",
           unsigned(LittleEndian32(block)), int(length - UPGRADE_ADDRESS_WORD));
  uint32_t packets = 0;
  return _block_transfer(block + UPGRADE_ADDRESS_WORD, length - UPGRADE_ADDRESS_WORD, packets);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, size_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (!BlockUsable(block, length)) return aErrParam;
  if (blockSize == 0) {
    // A block size of 0 would never move the transfer on.
    Log::log(DEBUG_Network_FIRM, "NETWORK: Block size 0: nothing can be sent.\n");
    Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return aErrInvalidOption;
  }
  const int total = int(length);
  size_t remaining = length - UPGRADE_ADDRESS_WORD;
  const uint8_t* next = block + UPGRADE_ADDRESS_WORD;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
           unsigned(BigEndian32(block)), int(remaining));
  display.display_progress(true);
  aErr err = aErrNone;
  while (remaining > 0 && err == aErrNone) {
    const size_t chunk = remaining < blockSize ? remaining : blockSize;
    uint32_t packets = 0;
    err = _block_transfer(next, chunk, packets);
    if (err != aErrNone) break;
    next += chunk;
    remaining -= chunk;
    display.update_progress(double(total - int(remaining)) / double(total), nullptr);
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
             int(chunk), int(remaining), total);
    err = FirmwareWrite(uint16_t(chunk));
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", total - int(remaining),
           total);
  if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return err;
}

// ---- capabilities -----------------------------------------------------------------

aErr UpdaterEntity::CheckUEIDataSupport() {
  aErr answer = module_ != nullptr
                    ? module_->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, getIndex(), aUEI_SET)
                    : aErrResource;
  Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", int(answer));
  if (answer == aErrNone) ueiData = true;
  return answer;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (module_ == nullptr) return aErrResource;
  SystemClass system;
  system.init(module_, 0);
  uint32_t features = 0;
  aErr err = system.getProtocolFeatures(&features);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features),
           int(err));
  if (err != aErrNone) return err;
  if ((features & 0x80000000u) == 0) return aErrNone;
  Link* link = module_->getLink();
  return link != nullptr ? link->enablePooledPackets(true) : aErrConnection;
}

// ---- loader start, reconnection and reboot -------------------------------------

aErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  const uint8_t request[] = {val_UPGRADE_LOAD};
  aErr err = sendRequest(request, sizeof(request));
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", int(err));
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  if (awaitReply(val_UPGRADE_LOAD, 0, reply, length) == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // The module may already be restarting into its loader.
  err = _reconnect(UPGRADE_LOAD_RECONNECT_DELAY_MS);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
             int(err), aError_GetErrorText(err));
    return aErrTimeout;
  }
  err = awaitReply(val_UPGRADE_LOAD, 0, reply, length);
  if (err == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
  }
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", int(err),
           aError_GetErrorText(err));
  return aErrTimeout;
}

// Connects to the one module of this transport that presents the loader's
// default serial number; with none or several present nothing is chosen.
aErr UpdaterEntity::connectDefaultSerial(linkType transport) {
  aLanetConfig config;
  module_->getConfig(&config);
  DefaultSerialSearch search{0, linkSpec{}};
  aDiscovery_EnumerateModules(transport, CountDefaultSerial, &search, config.networkInterface);
  if (search.found == 0) return aErrNotFound;
  if (search.found > 1) {
    Log::log(DEBUG_Network, "NETWORK: %d modules present the default serial number.\n",
             int(search.found));
    return aErrDuplicate;
  }
  return module_->connectFromSpec(search.spec);
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  if (module_ == nullptr) return aErrResource;
  // The transport the module was reached over; a search for the loader's
  // default serial number stays on it.
  linkSpec spec{};
  const linkType transport =
      module_->getLinkSpecifier(spec) == aErrNone ? linkType(spec.type) : USB;
  module_->disconnect();
  aErr err = aErrConnection;
  for (int attempt = 1; attempt <= UPGRADE_RECONNECT_ATTEMPTS; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
             UPGRADE_RECONNECT_ATTEMPTS);
    err = module_->reconnect();
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
             int(delayMs));
    aTime_MSSleep(delayMs);
  }
  // A module behind a router stays on the router's bus in its loader: a
  // search would only find some other device.
  if (throughRouter) return err;
  for (int attempt = 1; attempt <= UPGRADE_RECONNECT_ATTEMPTS; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
             attempt, UPGRADE_RECONNECT_ATTEMPTS);
    err = connectDefaultSerial(transport);
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
             int(delayMs));
    aTime_MSSleep(delayMs);
  }
  return err;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  const uint8_t request[] = {val_UPGRADE_REBOOT};
  aErr err = sendPacket(cmdUPGRADE, sizeof(request), request);
  if (err != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
  // Bounded: a module that keeps its link after REBOOT must not hold the
  // updater for ever. A router's link never drops; one step is enough.
  int steps = 0;
  while (module_ != nullptr && module_->isConnected() && steps < UPGRADE_REBOOT_STEPS) {
    aTime_MSSleep(UPGRADE_REBOOT_STEP_MS);
    ++steps;
    display.update_spinner(true, UPGRADE_SPINNER_LABEL);
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (throughRouter) break;
  }
  if (!throughRouter && steps == UPGRADE_REBOOT_STEPS && module_->isConnected())
    Log::log(DEBUG_Network_FIRM, "NETWORK: The link is still up after %d ms.\n",
             int(UPGRADE_REBOOT_STEPS * UPGRADE_REBOOT_STEP_MS));
  display.update_spinner(false, UPGRADE_SPINNER_LABEL);
  return err;
}
