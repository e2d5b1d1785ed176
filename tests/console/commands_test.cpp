// The console's command language on its own: what a line means, which address a name stands
// for, and what Tab offers.
#include "commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using console::completions;
using console::ContactName;
using console::parse_command;
using console::resolve_address;

const std::vector<ContactName> kContacts = {
    {"echo@mrim.example", "Echo"},
    {"ivan@mrim.example", "Иван Петров"},
    {"ann@mrim.example", "Ann"},
    {"ann2@mrim.example", "ann"},
};

TEST(Commands, AMessageIsTheRestOfTheLineAsTypedAndHelpAndStatusTakeAnOptionalWord) {
  console::ParseResult quoted = parse_command("msg echo@mrim.example \"quoted\"");
  ASSERT_TRUE(quoted.command) << quoted.error;
  EXPECT_EQ(quoted.command->args.at(1), "\"quoted\"");
  // A name given in quotes is the name.
  console::ParseResult renamed = parse_command("rename \"Иван Петров\" \"Ivan P\"");
  ASSERT_TRUE(renamed.command) << renamed.error;
  EXPECT_EQ(renamed.command->args, (std::vector<std::string>{"Иван Петров", "Ivan P"}));

  console::ParseResult help = parse_command("help msg");
  ASSERT_TRUE(help.command) << help.error;
  EXPECT_EQ(help.command->args, std::vector<std::string>{"msg"});
  EXPECT_NE(parse_command("help nothing").error.find("no command"), std::string::npos);
  console::ParseResult status = parse_command("status");
  ASSERT_TRUE(status.command) << status.error;
  EXPECT_TRUE(status.command->args.empty());
  EXPECT_NE(parse_command("help msg now").error.find("too many"), std::string::npos);
}

TEST(Commands, AStatusTakesATitleInQuotesAndADescriptionToTheEndOfTheLine) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(parse_command("status online \"At the gym\" \"back at 5\"").command.value().args,
            (Args{"online", "At the gym", "back at 5"}));
  EXPECT_EQ(parse_command("status online \"At the gym\" back at 5").command.value().args,
            (Args{"online", "At the gym", "back at 5"}));
  // The status word is a choice, letter case aside; the texts are kept as typed.
  EXPECT_EQ(parse_command("status Away Lunch").command.value().args, (Args{"away", "Lunch"}));
  EXPECT_EQ(parse_command("status na \"\" \"Back Soon\"").command.value().args,
            (Args{"na", "", "Back Soon"}));
  EXPECT_NE(parse_command("status offline \"gone\"").error.find("no status texts"), std::string::npos);
  EXPECT_NE(parse_command("status online \"At the gym").error.find("quote"), std::string::npos);
  EXPECT_NE(parse_command("msg \"\" hello").error.find("missing argument"), std::string::npos);
}

TEST(Commands, ListEditsNeedTheServer) {
  // Made offline, the server's list would undo them at the next log-in.
  for (const char* command : {"rename", "move", "delete", "add", "reqauth"})
    EXPECT_TRUE(console::needs_server(command)) << command;
  for (const char* command : {"list", "groups", "history", "help", "deny", "msg"})
    EXPECT_FALSE(console::needs_server(command)) << command;
}

TEST(Commands, ANameOfExactlyOneContactStandsForItsAddress) {
  EXPECT_EQ(resolve_address("echo", kContacts).address, "echo@mrim.example");
  EXPECT_EQ(resolve_address("иван петров", kContacts).address, "ivan@mrim.example");
  EXPECT_EQ(resolve_address("ECHO@mrim.example", kContacts).address, "echo@mrim.example");
  // A new address is meant as typed.
  EXPECT_EQ(resolve_address("dan@mrim.example", kContacts).address, "dan@mrim.example");
  console::Resolved twice = resolve_address("ANN", kContacts);
  EXPECT_TRUE(twice.address.empty());
  EXPECT_NE(twice.error.find("ann2@mrim.example"), std::string::npos) << twice.error;
  EXPECT_NE(resolve_address("Zed", kContacts).error.find("no contact is called so"), std::string::npos);
  // A unique start of a name or an address, in any case; one shared by several lists them.
  EXPECT_EQ(resolve_address("ив", kContacts).address, "ivan@mrim.example");
  EXPECT_EQ(resolve_address("Ivan", kContacts).address, "ivan@mrim.example");
  console::Resolved several = resolve_address("an", kContacts);
  EXPECT_TRUE(several.address.empty());
  EXPECT_NE(several.error.find("Ann <ann@mrim.example>"), std::string::npos) << several.error;
  EXPECT_NE(several.error.find("ann2@mrim.example"), std::string::npos) << several.error;
}

TEST(Commands, TabOffersNamesAddressesAndGroups) {
  console::CompletionData data{kContacts, {"Friends", "Work"}};
  EXPECT_EQ(completions("msg ", "ив", data), std::vector<std::string>{"\"Иван Петров\""});
  EXPECT_EQ(completions("msg ", "ec", data), std::vector<std::string>{"echo@mrim.example"});
  EXPECT_EQ(completions("move \"Иван Петров\" ", "fr", data), std::vector<std::string>{"Friends"});
  EXPECT_EQ(completions("help ", "ms", data), std::vector<std::string>{"msg"});
  // The words of an optional part, one after the other.
  EXPECT_EQ(completions("security ", "", data), std::vector<std::string>{"pin"});
  EXPECT_EQ(completions("security pin ", "", data), std::vector<std::string>{"clear"});
}

}  // namespace
