// A container manager over an empty object list on a formatted virtual
// token, with the helpers the container tests share: token objects made
// bare, attributes set and read, the objects of a container in a list.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "containers/container_manager.h"
#include "formatted_token.h"

namespace container_fixture {

using bytes = std::vector<std::uint8_t>;

inline bytes attribute(const pkcs11::pkcs11_object& o, CK_ATTRIBUTE_TYPE type) {
    const pkcs11::pkcs11_attribute* a = o.attributes().find(static_cast<std::uint32_t>(type));
    return a == nullptr ? bytes() : a->value;
}
inline std::string text(const bytes& b) { return std::string(b.begin(), b.end()); }

class test : public formatted_token::test {
protected:
    void SetUp() override {
        formatted_token::test::SetUp();
        manager_ = std::make_unique<pkcs11::pkcs11_container_manager>(device(), objects_);
    }
    pkcs11::pkcs11_container_manager::device_fn device() {
        return [this](solvantex::card_handle& h) {
            h = h_;
            return 0;
        };
    }

    static pkcs11::pkcs11_object_ref make(CK_OBJECT_CLASS c) {
        pkcs11::pkcs11_object_ref o;
        EXPECT_EQ(pkcs11::pkcs11_object::make_bare(0, c, o), CKR_OK);
        EXPECT_EQ(o->attributes().set_bool(CKA_TOKEN, true), CKR_OK);
        return o;
    }
    static void set(pkcs11::pkcs11_object& o, CK_ATTRIBUTE_TYPE type, const bytes& v) {
        ASSERT_EQ(o.attributes().set(static_cast<std::uint32_t>(type), v.data(), v.size()), CKR_OK);
    }
    static void set(pkcs11::pkcs11_object& o, CK_ATTRIBUTE_TYPE type, const std::string& v) {
        ASSERT_EQ(o.attributes().set(static_cast<std::uint32_t>(type), v.data(), v.size()), CKR_OK);
    }

    // The objects of the list of a class in a container.
    static std::vector<pkcs11::pkcs11_object_ref> of(const pkcs11::pkcs11_object_mgr& list, CK_OBJECT_CLASS c,
                                                     const std::string& name) {
        std::vector<pkcs11::pkcs11_object_ref> out;
        for (std::size_t i = 0; i < list.count(); ++i)
            if (list.at(i)->object_class() == c && text(attribute(*list.at(i), CKA_VENDOR_CONTAINER_NAME)) == name)
                out.push_back(list.at(i));
        return out;
    }

    pkcs11::pkcs11_object_mgr objects_;
    std::unique_ptr<pkcs11::pkcs11_container_manager> manager_;
};

}  // namespace container_fixture
