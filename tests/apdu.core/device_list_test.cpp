// The device list through the PC/SC seam: reader listing, refresh, purge,
// the list cursor and handle checks.
#include <gtest/gtest.h>

#include <cstring>

#include "seam_fixture.h"

using namespace platform::pcsc_rc;
using test_support::pcsc_call;
using test_support::reader_names;
using test_support::scripted_pcsc;
using zervik::check_device_handle;
using zervik::device_manager;
using zervik::device_sc_manager;
using zervik::device_winscard;

namespace {

class device_list_test : public test_support::seam_test {
protected:
    device_sc_manager& list_ = device_manager();

    std::vector<std::string> listed_names() {
        std::vector<std::string> names;
        mk_node_walk([&](device_winscard* d) { names.emplace_back(d->name()); });
        return names;
    }
    template <class F>
    void mk_node_walk(F f) {
        for (zervik::mk_node* n = list_.nodes().head(); n != nullptr; n = n->next) f(n->value);
    }
};

TEST_F(device_list_test, ListingIsSizedByTheService) {
    // Ten names of 150 characters: 1511 bytes of multi-string.
    const auto names = reader_names(10, 150);
    fake_.readers(names);
    zervik::reader_name_slots slots{};
    ASSERT_EQ(zervik::list_reader_names("", slots), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(slots.name[i], names[static_cast<std::size_t>(i)]);
    EXPECT_EQ(fake_.count(pcsc_call::release_context), 1);
}

TEST_F(device_list_test, ListingKeepsAtMost32AndSkipsNamesTooLong) {
    auto names = reader_names(40, 20);
    names.insert(names.begin() + 1, std::string(256, 'L'));
    names.insert(names.begin() + 2, std::string(255, 'K'));
    fake_.readers(names);
    zervik::reader_name_slots slots{};
    ASSERT_EQ(zervik::list_reader_names("", slots), 32);
    EXPECT_EQ(slots.name[0], names[0]);
    EXPECT_EQ(slots.name[1], std::string(255, 'K'));
    EXPECT_EQ(slots.name[31], names[32]);

    EXPECT_EQ(list_.enumerate(""), 32);
    EXPECT_EQ(list_.device_count(), 32);
}

TEST_F(device_list_test, FilterIsASubstringAndEmptyMatchesAll) {
    fake_.readers({"Solvanta Token 00 00", "Other Reader 0", "Solvanta Token 00 01"});
    zervik::reader_name_slots slots{};
    EXPECT_EQ(zervik::list_reader_names("Token", slots), 2);
    EXPECT_STREQ(slots.name[1], "Solvanta Token 00 01");
    EXPECT_EQ(zervik::list_reader_names("", slots), 3);
    EXPECT_EQ(zervik::list_reader_names("token", slots), 0);  // case counts

    // The filter is kept with a bound.
    const std::string long_filter(5000, 'f');
    EXPECT_EQ(list_.enumerate(long_filter.c_str()), 0);
    EXPECT_EQ(std::strlen(list_.filter()), device_sc_manager::filter_size - 1);
}

TEST_F(device_list_test, ServiceFailureListsNothing) {
    fake_.readers({"A"});
    fake_.script(pcsc_call::establish_context, {no_service});
    zervik::reader_name_slots slots{};
    EXPECT_EQ(zervik::list_reader_names("", slots), 0);
    fake_.script(pcsc_call::list_readers, {no_readers});
    EXPECT_EQ(zervik::list_reader_names("", slots), 0);
    EXPECT_EQ(fake_.count(pcsc_call::release_context), 1);
}

TEST_F(device_list_test, RefreshKeepsTheSameObjectForTheSameReader) {
    fake_.readers({"A", "BC"});
    std::int32_t removed = -1, added = -1;
    EXPECT_EQ(list_.refresh(&removed, &added, ""), 2);
    EXPECT_EQ(added, 2);
    EXPECT_EQ(removed, 0);
    device_winscard* a = zervik::find_device_by_name("A");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->state(), zervik::device_new);

    EXPECT_EQ(list_.refresh(&removed, &added, ""), 2);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(zervik::find_device_by_name("A"), a);
    EXPECT_EQ(a->state(), zervik::device_present);
    EXPECT_EQ(list_.device_count(), 2);
}

TEST_F(device_list_test, GoneReadersAreMarkedThenPurgedWithTheirConnection) {
    fake_.readers({"A", "BC"});
    list_.enumerate("");
    device_winscard* bc = zervik::find_device_by_name("BC");
    ASSERT_EQ(bc->connect(), 0);

    fake_.readers({"A"});
    std::int32_t removed = 0, added = 0;
    list_.refresh(&removed, &added, "");
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(bc->state(), zervik::device_removed);
    EXPECT_EQ(list_.purge_removed(), 0);
    EXPECT_EQ(listed_names(), std::vector<std::string>{"A"});
    EXPECT_EQ(check_device_handle(bc), 2);
    EXPECT_EQ(fake_.disconnected(), std::vector<platform::pcsc_handle>{scripted_pcsc::fake_handle_});
}

TEST_F(device_list_test, FilterMatchingNothingPurgesEverything) {
    fake_.readers({"A", "BC"});
    list_.enumerate("");
    list_.add_device("outside", 0x71, 0x72);
    EXPECT_EQ(list_.enumerate("nothing"), 0);
    mk_node_walk([](device_winscard* d) { EXPECT_EQ(d->state(), zervik::device_removed) << d->name(); });
    list_.purge_removed();
    EXPECT_EQ(list_.device_count(), 0);
    // The outside connection is its owner's.
    EXPECT_TRUE(fake_.disconnected().empty());
}

TEST_F(device_list_test, OnlyListedSlotsCountAsPresent) {
    // An empty name must not match the empty slots behind the listed ones.
    ASSERT_NE(list_.add_device("", 0, 0), nullptr);
    fake_.readers({"A"});
    std::int32_t removed = 0, added = 0;
    list_.refresh(&removed, &added, "");
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(zervik::find_device_by_name("")->state(), zervik::device_removed);
}

TEST_F(device_list_test, AddDeviceAlwaysMakesANewOne) {
    device_winscard* first = list_.add_device("A", 0x71, 0x72);
    device_winscard* second = list_.add_device("A", 0x81, 0x82);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(zervik::find_device_by_name("A"), first);
    EXPECT_EQ(list_.find_or_create("A"), first);
    EXPECT_EQ(first->card(), 0x72u);
    EXPECT_EQ(list_.add_device(std::string(256, 'n').c_str(), 0, 0), nullptr);
    EXPECT_EQ(list_.find_or_create(nullptr), nullptr);
    EXPECT_EQ(list_.device_count(), 2);
}

TEST_F(device_list_test, DeviceAtIsBoundedByTheLastReaderCount) {
    fake_.readers({"A", "BC"});
    list_.enumerate("");
    list_.add_device("C", 0, 0);
    EXPECT_STREQ(list_.device_at(1)->name(), "BC");
    EXPECT_EQ(list_.device_at(2), nullptr);  // listed, but not counted by the enumeration
    EXPECT_EQ(list_.device_at(-1), nullptr);
}

TEST_F(device_list_test, RemovingTheCursorsDeviceMovesTheCursor) {
    device_winscard* a = list_.add_device("A", 0, 0);
    device_winscard* b = list_.add_device("B", 0, 0);
    device_winscard* c = list_.add_device("C", 0, 0);
    zervik::mk_node*& cursor = list_.cursor();
    list_.first(cursor);
    EXPECT_EQ(list_.next(cursor), b);

    EXPECT_EQ(zervik::remove_device_from_list(b), 0);
    EXPECT_EQ(list_.node_device(cursor), c);
    EXPECT_EQ(zervik::remove_device_from_list(c), 0);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(zervik::remove_device_from_list(c), 1);

    // next stays on the last node at the end; a null cursor starts over.
    EXPECT_EQ(list_.next(cursor), a);
    EXPECT_EQ(list_.next(cursor), nullptr);
    EXPECT_EQ(list_.node_device(cursor), a);
}

TEST_F(device_list_test, PurgeMovesTheCursorOffAPurgedNode) {
    list_.add_device("A", 0, 0);
    device_winscard* b = list_.add_device("B", 0, 0);
    zervik::mk_node*& cursor = list_.cursor();
    list_.first(cursor);
    list_.node_device(cursor)->set_state(zervik::device_removed);
    list_.purge_removed();
    EXPECT_EQ(list_.node_device(cursor), b);
}

TEST_F(device_list_test, HandleCheck) {
    device_winscard* a = list_.add_device("A", 0, 0);
    device_winscard outside("A");
    int not_a_device = 0;
    EXPECT_EQ(check_device_handle(nullptr), 1);
    EXPECT_EQ(check_device_handle(a), 0);
    EXPECT_EQ(check_device_handle(&outside), 2);
    EXPECT_EQ(check_device_handle(&not_a_device), 2);
    zervik::remove_device_from_list(a);
    EXPECT_EQ(check_device_handle(a), 2);
}

TEST_F(device_list_test, RemoveByNameDeletesTheFirst) {
    device_winscard* first = list_.add_device("A", 0, 0);
    device_winscard* second = list_.add_device("A", 0, 0);
    EXPECT_EQ(list_.remove_by_name("A"), 0);
    EXPECT_EQ(check_device_handle(first), 2);
    EXPECT_EQ(zervik::find_device_by_name("A"), second);
    EXPECT_EQ(list_.remove_by_name("none"), 0);
}

TEST_F(device_list_test, DestroyingAListDeletesItsDevices) {
    std::size_t released_before = 0;
    {
        device_sc_manager local;
        fake_.readers({"A"});
        local.enumerate("");
        ASSERT_EQ(local.device_at(0)->connect(), 0);
        local.add_device("B", 0x71, 0x72);
        released_before = fake_.released().size();
    }
    EXPECT_EQ(fake_.disconnected(), std::vector<platform::pcsc_handle>{scripted_pcsc::fake_handle_});
    ASSERT_EQ(fake_.released().size(), released_before + 1);
    EXPECT_EQ(fake_.released().back(), scripted_pcsc::fake_context_);
}

}  // namespace
