// SPDX-License-Identifier: BSD-3-Clause
// The parts of qvkvtoken around the card, without FUSE: file specs, the
// command line and config file, faults, hot plug and control commands, the
// command log.
#include <gtest/gtest.h>

#include "card_layout.h"
#include "command_log.h"
#include "control.h"
#include "fault.h"
#include "hex_text.h"
#include "node_names.h"
#include "options.h"
#include "sandbox.h"
#include "token_table.h"
#include "vpcd_protocol.h"

using namespace qvk::vtoken;
using namespace std::chrono_literals;

namespace {

TEST(FileSpecs, ParseEveryForm) {
    FileSpec entry = parse_file_spec("0015:300");
    EXPECT_FALSE(entry.node);
    EXPECT_EQ(entry.id, 0x0015);
    EXPECT_EQ(entry.size, 300u);
    EXPECT_TRUE(entry.content.empty());

    entry = parse_file_spec("17/3F00:8=hex:01 02:03");
    EXPECT_EQ(entry.node, 17);
    EXPECT_EQ(entry.id, 0x3F00);
    EXPECT_EQ(entry.size, 8u);
    EXPECT_EQ(entry.content, from_hex("01 02 03"));

    entry = parse_file_spec("a0b1=text:x/y=z");  // the size is the content's length
    EXPECT_FALSE(entry.node) << "a slash inside the content is no node prefix";
    EXPECT_EQ(entry.id, 0xA0B1);
    EXPECT_EQ(entry.size, 5u);
    EXPECT_EQ(entry.content, Bytes({'x', '/', 'y', '=', 'z'}));

    qvk::test::TempDir directory;
    qvk::test::write_file(directory / "content.bin", std::string("\x01\x00\xFF", 3));
    entry = parse_file_spec("0001:4=@" + (directory / "content.bin"));
    EXPECT_EQ(entry.content, from_hex("01 00 FF"));
    EXPECT_EQ(entry.size, 4u);
}

TEST(FileSpecs, RejectBadSpecsWithTheReason) {
    const auto reason = [](const std::string &text) {
        try {
            parse_file_spec(text);
        } catch (const std::invalid_argument &error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(reason("0015").find("give a size"), std::string::npos);
    EXPECT_NE(reason("015:10").find("four hex digits"), std::string::npos);
    EXPECT_NE(reason("00G5:10").find("four hex digits"), std::string::npos);
    EXPECT_NE(reason("0015:-1").find("size"), std::string::npos);
    EXPECT_NE(reason("0015:65537").find("size"), std::string::npos);
    EXPECT_NE(reason("0015:2=hex:010203").find("larger than the file"), std::string::npos);
    EXPECT_NE(reason("0015=hex:012").find("odd number"), std::string::npos);
    EXPECT_NE(reason("0015=base64:AAAA").find("hex:, text: or @"), std::string::npos);
    EXPECT_NE(reason("0015=@/nonexistent/file").find("cannot read"), std::string::npos);
    EXPECT_NE(reason("32/0015:1").find("bad node index"), std::string::npos);
    EXPECT_NE(reason("x/0015:1").find("bad node index"), std::string::npos);
    EXPECT_EQ(reason("0015:65536"), "accepted");

    // Content files: a directory is refused, and no more than a file can hold
    // is read, so an endless source cannot fill memory.
    qvk::test::TempDir directory;
    EXPECT_NE(reason("0015=@" + directory.path()).find("cannot read"), std::string::npos);
    qvk::test::write_file(directory / "largest.bin", std::string(65536, 'x'));
    qvk::test::write_file(directory / "too_large.bin", std::string(65537, 'x'));
    EXPECT_EQ(reason("0015=@" + (directory / "largest.bin")), "accepted");
    EXPECT_NE(reason("0015=@" + (directory / "too_large.bin")).find("holds more than a file can"),
              std::string::npos);
}

TEST(CommandLine, OptionsConfigFileAndErrors) {
    qvk::test::TempDir directory;
    qvk::test::write_file(directory / "token.conf",
                          "# two tokens\n"
                          "node 0-1\n"
                          "  --file   0016:16=text:hello world  \n"
                          "fault 1:delay=250\n"
                          "foreground\n");
    const Options options = parse_command_line({"-n", "3,1", "--config", directory / "token.conf",
                                                "--file=2/0015:8", "-x", "3:no-answer", "-l",
                                                "/tmp/log", "/mnt/here"});
    EXPECT_EQ(options.mountpoint, "/mnt/here");
    EXPECT_EQ(options.nodes, (std::vector<int>{0, 1, 3}));
    ASSERT_EQ(options.files.size(), 2u);
    const std::string hello = "hello world";
    EXPECT_EQ(options.files[0].content, Bytes(hello.begin(), hello.end()));
    EXPECT_EQ(options.files[1].node, 2);
    ASSERT_EQ(options.faults.size(), 2u);
    EXPECT_EQ(options.faults[0].node, 1);
    EXPECT_EQ(options.faults[0].fault, (Fault{FaultKind::delay, 250ms}));
    EXPECT_EQ(options.faults[1].fault.kind, FaultKind::no_answer);
    EXPECT_EQ(options.log_path, "/tmp/log");
    EXPECT_TRUE(options.foreground);
    EXPECT_FALSE(options.debug);
    EXPECT_TRUE(parse_command_line({"-d", "m"}).foreground) << "debug stays in the foreground";
    EXPECT_TRUE(parse_command_line({"--help"}).help) << "help needs no mount point";

    EXPECT_THROW(parse_command_line({}), UsageError);
    EXPECT_THROW(parse_command_line({"a", "b"}), UsageError);
    EXPECT_THROW(parse_command_line({"--bogus", "m"}), UsageError);
    EXPECT_THROW(parse_command_line({"m", "--node"}), UsageError);
    EXPECT_THROW(parse_command_line({"--foreground=yes", "m"}), UsageError);
    EXPECT_THROW(parse_command_line({"-n", "5-2", "m"}), UsageError);
    EXPECT_THROW(parse_command_line({"-n", "0,,1", "m"}), UsageError);
    EXPECT_THROW(parse_command_line({"-x", "3", "m"}), UsageError);
    EXPECT_THROW(parse_command_line({"-F", "zz", "m"}), UsageError);
    EXPECT_THROW(parse_command_line({"-c", directory / "missing.conf", "m"}), UsageError);
    EXPECT_THROW(parse_command_line({"-c", directory.path(), "m"}), UsageError)
        << "a directory is no empty config";

    qvk::test::write_file(directory / "bad.conf", "node 1\nfile 0015\n");
    try {
        parse_command_line({"-c", directory / "bad.conf", "m"});
        ADD_FAILURE() << "a bad config line was accepted";
    } catch (const UsageError &error) {
        EXPECT_NE(std::string(error.what()).find("bad.conf:2: bad file description '0015'"),
                  std::string::npos)
            << error.what();
    }
    qvk::test::write_file(directory / "nested.conf", "config other.conf\n");
    EXPECT_THROW(parse_command_line({"-c", directory / "nested.conf", "m"}), UsageError);
    qvk::test::write_file(directory / "flag.conf", "foreground yes\n");
    EXPECT_THROW(parse_command_line({"-c", directory / "flag.conf", "m"}), UsageError);
}

TEST(CommandLine, VpcdPortFromTheLineOrTheConfigFile) {
    qvk::test::TempDir directory;
    qvk::test::write_file(directory / "reader.conf", "node 0,1\nvpcd 35963\n");
    EXPECT_EQ(parse_command_line({"-c", directory / "reader.conf", "m"}).vpcd_port, 35963);
    EXPECT_EQ(parse_command_line({"--vpcd=1", "-n", "0", "m"}).vpcd_port, 1);
    EXPECT_FALSE(parse_command_line({"m"}).vpcd_port);
    // The last token's port must exist too.
    EXPECT_EQ(parse_command_line({"--vpcd", "65534", "-n", "0,1", "m"}).vpcd_port, 65534);
    for (const char *bad : {"0", "65536", "-5", "35963x", ""})
        EXPECT_THROW(parse_command_line({"--vpcd", bad, "-n", "0", "m"}), UsageError) << bad;
    EXPECT_THROW(parse_command_line({"--vpcd", "65535", "-n", "0,1", "m"}), UsageError);
}

TEST(VpcdCard, AnswerToResetIsWellFormedWithItsCheckByte) {
    const Bytes atr = vpcd::answer_to_reset();
    EXPECT_EQ(atr, from_hex("3B 86 80 01 80 54 51 56 4B 54 CB")) << "as the README gives it";
    ASSERT_EQ(atr.size(), 11u);
    EXPECT_EQ(atr[0], 0x3B) << "direct convention";
    const std::size_t historical = atr[1] & 0x0F;
    // T0, TD1, TD2 (each announcing only the next TD), historical bytes, TCK.
    EXPECT_EQ(atr.size(), 1 + 3 + historical + 1);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    EXPECT_EQ(check, 0) << "T0 .. TCK must XOR to zero";
    EXPECT_EQ(atr[2] & 0x0F, 0) << "TD1 offers T=0";
    EXPECT_EQ(atr[3] & 0x0F, 1) << "TD2 offers T=1";
}

TEST(Faults, ParseDescribeAndShapeTheAnswer) {
    for (const char *text : {"none", "no-answer", "one-byte", "short-write", "delay=0", "delay=60000"})
        EXPECT_EQ(describe(parse_fault(text)), text);
    for (const char *text : {"", "delay=", "delay=-1", "delay=60001", "delay=5ms", "slow"})
        EXPECT_THROW(parse_fault(text), std::invalid_argument) << text;

    const Bytes answer = from_hex("01 02 90 00");
    EXPECT_EQ(delivered_answer({}, answer), answer);
    EXPECT_EQ(delivered_answer({FaultKind::no_answer}, answer), std::nullopt);
    EXPECT_EQ(delivered_answer({FaultKind::one_byte}, answer), from_hex("01"));
    EXPECT_EQ(delivered_answer({FaultKind::short_write}, answer), answer);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(delivered_answer({FaultKind::delay, 50ms}, answer), answer);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms);

    EXPECT_EQ(bytes_accepted({FaultKind::short_write}, 7), 6u);
    EXPECT_EQ(bytes_accepted({FaultKind::short_write}, 1), 0u);
    EXPECT_EQ(bytes_accepted({FaultKind::no_answer}, 7), 7u);
}

TEST(NodeNames, OnlyTheNamesThePluginProbes) {
    EXPECT_EQ(node_name(17), "QVUsbKey17");
    EXPECT_EQ(node_index_of("QVUsbKey0"), 0);
    EXPECT_EQ(node_index_of("QVUsbKey31"), 31);
    for (const char *name : {"QVUsbKey", "QVUsbKey32", "QVUsbKey03", "QVUsbKey-1", "QVUsbKey1x",
                             "qvusbkey1", ".control"})
        EXPECT_EQ(node_index_of(name), std::nullopt) << name;
}

TEST(HotPlug, TokensComeAndGoAndKeepTheirCards) {
    TokenTable table({parse_file_spec("0015:4"), parse_file_spec("2/0016=text:two")});
    table.plug(0);
    table.plug(2);
    EXPECT_THROW(table.plug(2), std::invalid_argument);
    EXPECT_EQ(table.plugged_indices(), (std::vector<int>{0, 2}));
    EXPECT_FALSE(table.find(0)->card().has_file(0x0016)) << "node-specific files stay there";
    EXPECT_TRUE(table.find(2)->card().has_file(0x0016));

    // Write to token 2, unplug it: a descriptor opened before sees it go.
    const auto held = table.find(2);
    CardSession session(held->card());
    ASSERT_EQ(to_hex(session.process(from_hex("00 A4 00 00 02 00 15"))), "90 00");
    ASSERT_EQ(to_hex(session.process(from_hex("00 D6 00 00 01 5A"))), "90 00");
    table.unplug(2);
    EXPECT_FALSE(held->plugged());
    EXPECT_EQ(table.find(2), nullptr);
    EXPECT_THROW(table.unplug(2), std::invalid_argument);

    // Plugged in again: a new node, the same card with what was written.
    table.plug(2);
    EXPECT_NE(table.find(2), held);
    EXPECT_FALSE(held->plugged()) << "old descriptors stay dead";
    EXPECT_EQ(table.find(2)->card().file(0x0015), from_hex("5A 00 00 00"));

    // Faults survive unplugging and reach a node plugged in later.
    table.set_fault(5, {FaultKind::one_byte});
    table.plug(5);
    EXPECT_EQ(table.find(5)->fault().kind, FaultKind::one_byte);
    table.set_fault(0, {FaultKind::short_write});
    EXPECT_EQ(table.find(0)->fault().kind, FaultKind::short_write) << "applies to a plugged node";
}

TEST(Control, CommandsChangeTheTableAndTheStateReadsBack) {
    TokenTable table({});
    run_control(table, "plug 4\n\n# comment\nadd 7\nfault 7 delay=20\n");
    EXPECT_EQ(table.plugged_indices(), (std::vector<int>{4, 7}));
    run_control(table, "remove 4\nfault 9 no-answer");
    EXPECT_EQ(describe_state(table),
              "QVUsbKey7 plugged fault=delay=20\nQVUsbKey9 unplugged fault=no-answer\n");

    for (const char *bad : {"plug", "plug 32", "plug x", "unplug 4", "fault 7", "fault 7 slow",
                            "eject 7", "plug 1 2"})
        EXPECT_THROW(run_control(table, bad), std::invalid_argument) << bad;
    EXPECT_THROW(run_control(table, "plug 1\nbogus\nplug 2"), std::invalid_argument);
    EXPECT_EQ(table.plugged_indices(), (std::vector<int>{1, 7}))
        << "lines before a bad one apply, lines after it do not";
}

TEST(CommandLogFile, OneLinePerCommandAppended) {
    qvk::test::TempDir directory;
    const std::string path = directory / "commands.log";
    qvk::test::write_file(path, "earlier\n");
    {
        const CommandLog log(path);
        log.record(3, from_hex("00 A4 00 00 02 00 15"));
        log.record(31, {});
        CommandLog().record(1, from_hex("00"));  // a log without a file records nothing
    }
    EXPECT_EQ(qvk::test::read_file(path), "earlier\nQVUsbKey3 00 A4 00 00 02 00 15\nQVUsbKey31\n");
    EXPECT_THROW(CommandLog(directory / "missing/commands.log"), std::runtime_error);
}

}  // namespace
