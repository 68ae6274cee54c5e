// The journal reader over a whole file as input. Whatever the bytes, it
// either refuses them with a CJournalError or hands out records that a host
// could have written: numbered from 1, each frame right after the one
// before, written back the same way to the same bytes, with payloads whose
// fields read without error, a single start record first and nothing but
// sends after the stop record. A torn tail is the end of the last record.
#include "FuzzCheck.h"

#include "journal/Journal.h"

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

using Journal::CJournalError;
using Journal::CRecord;
using Journal::ERecord;

namespace {

// Every field of the record's type, read as the replay reads it.
void ReadFields(const CRecord& record, bool fullOutputs)
{
    switch (record.type) {
    case ERecord::Start:
    case ERecord::Stop:
        FUZZ_CHECK(record.payload.empty(), "a start or stop record with a payload");
        break;
    case ERecord::Login:
    case ERecord::Logout:
    case ERecord::Drop:
    case ERecord::Resume:
        record.UserId();
        break;
    case ERecord::Message:
        record.UserId();
        FUZZ_CHECK(record.Bytes().size() >= 4, "a message shorter than its header");
        break;
    case ERecord::Timer:
        record.TimerHandle();
        break;
    case ERecord::SendHash:
        FUZZ_CHECK(!fullOutputs, "a hashed send in a journal of full sends");
        record.Hash();
        break;
    case ERecord::SendFull: {
        FUZZ_CHECK(fullOutputs, "a full send in a journal of hashed sends");
        const std::size_t recipients = record.Recipients().size();
        FUZZ_CHECK(record.Bytes().size() == record.payload.size() - 4 - 4 * recipients,
                   "a send's bytes do not follow its recipients");
        break;
    }
    default:
        FUZZ_CHECK(false, "a record of an unknown type");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string rewritten;
    uint64_t records = 0;
    bool stopped = false;
    try {
        Journal::CJournalReader reader(std::make_unique<std::istringstream>(input), "input");
        FUZZ_CHECK(reader.FileSize() == size, "the reader's file size differs from the input's");
        const bool full = (reader.Header().flags & Journal::kFlagFullOutputs) != 0;
        rewritten = Journal::EncodeHeader(reader.Header());
        FUZZ_CHECK(input.compare(0, rewritten.size(), rewritten) == 0, "the header does not write back the same");
        while (const std::optional<CRecord> record = reader.Next()) {
            FUZZ_CHECK(record->number == ++records, "records not numbered one by one");
            FUZZ_CHECK(record->offset == rewritten.size(), "a record not right after the one before");
            FUZZ_CHECK((records == 1) == (record->type == ERecord::Start), "start is not the one first record");
            FUZZ_CHECK(!stopped || Journal::IsOutput(record->type), "a record other than a send after the stop");
            stopped = stopped || record->type == ERecord::Stop;
            ReadFields(*record, full);
            Journal::AppendRecord(rewritten, record->type, record->nanos, record->payload);
            FUZZ_CHECK(rewritten.size() <= size && input.compare(record->offset, rewritten.size() - record->offset,
                                                                 rewritten, record->offset) == 0,
                       "a record does not write back the same");
        }
        if (const auto torn = reader.TornAt()) {
            FUZZ_CHECK(*torn == rewritten.size() && *torn < size, "a torn record elsewhere than after the last");
        } else {
            FUZZ_CHECK(rewritten.size() == size, "the records ended before the input");
        }
        FUZZ_CHECK(!reader.Next(), "a record after the end");
    } catch (const CJournalError&) {
        // Refused: damage, or a record no host writes.
    }
    return 0;
}
