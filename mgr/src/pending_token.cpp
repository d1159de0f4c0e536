// Placeholders until this room of the library is built.
#include "SolvantaMgr.h"

extern "C" {
int SOLVANTAMGR_CALL init_pkcs11(const char* /*module_file*/) { return 1; }
int SOLVANTAMGR_CALL init_pkcs11_ex(uint32_t /*reserved1*/, uint32_t /*reserved2*/, uint32_t /*reserved3*/, const char* /*module_file*/) { return 1; }
int SOLVANTAMGR_CALL uninit_pkcs11(void) { return 1; }
int SOLVANTAMGR_CALL token_find(unsigned long* /*slot_ids*/, unsigned long* /*count*/) { return 1; }
int SOLVANTAMGR_CALL token_waitfor_event(unsigned long* /*slot_id*/) { return 1; }
int SOLVANTAMGR_CALL token_connect(int /*index*/) { return 1; }
int SOLVANTAMGR_CALL token_disconnect(int /*index*/) { return 1; }
int SOLVANTAMGR_CALL token_get_info(int /*index*/, char* /*serial*/, char* /*label*/, char* /*manufacturer*/, char* /*model*/, int* /*max_pin*/, int* /*min_pin*/, int* /*max_pin2*/, int* /*min_pin2*/, int* /*total_private_memory*/, int* /*free_private_memory*/, int* /*hardware_version*/, int* /*firmware_version*/, int* /*extension_word*/, int* /*initialised*/) { return 1; }
int SOLVANTAMGR_CALL token_get_info_ex(int /*index*/, char* /*serial*/, char* /*label*/, char* /*manufacturer*/, char* /*model*/, int* /*max_pin*/, int* /*min_pin*/, int* /*max_pin2*/, int* /*min_pin2*/, int* /*total_private_memory*/, int* /*free_private_memory*/, int* /*hardware_version*/, int* /*firmware_version*/, int* /*extension_word*/, int* /*initialised*/, int* /*protected_path*/) { return 1; }
int SOLVANTAMGR_CALL token_login(int /*index*/, const char* /*pin*/, int* /*retries*/) { return 1; }
int SOLVANTAMGR_CALL token_login_so(int /*index*/, const char* /*so_pin*/, int* /*retries*/) { return 1; }
int SOLVANTAMGR_CALL token_logout(int /*index*/) { return 1; }
int SOLVANTAMGR_CALL token_change_upin(int /*index*/, const char* /*old_pin*/, const char* /*new_pin*/) { return 1; }
int SOLVANTAMGR_CALL token_change_sopin(int /*index*/, const char* /*old_so_pin*/, const char* /*new_so_pin*/) { return 1; }
int SOLVANTAMGR_CALL token_set_upin(int /*index*/, const char* /*so_pin*/, const char* /*new_pin*/) { return 1; }
int SOLVANTAMGR_CALL token_get_pin_state(int /*index*/, unsigned long /*user_type*/, uint32_t* /*retries_left*/, uint32_t* /*retry_limit*/, int* /*count_low*/, int* /*final_try*/, int* /*locked*/, int* /*to_be_changed*/) { return 1; }
int SOLVANTAMGR_CALL token_unlock_upin(int /*index*/, const unsigned char* /*auth_data*/, unsigned long /*auth_length*/, const char* /*new_pin*/) { return 1; }
int SOLVANTAMGR_CALL token_remote_unlock_upin(int /*index*/, const unsigned char* /*response*/, unsigned long /*response_length*/, const char* /*new_pin*/) { return 1; }
int SOLVANTAMGR_CALL token_set_label(int /*index*/, const char* /*label*/) { return 1; }
int SOLVANTAMGR_CALL token_get_challenge(int /*index*/, unsigned char* /*challenge*/) { return 1; }
int SOLVANTAMGR_CALL token_get_challenge_ex(int /*index*/, unsigned char* /*buffer*/, unsigned long /*length*/) { return 1; }
int SOLVANTAMGR_CALL token_format(int /*index*/, struct CK_EXT_FORMAT_PARAMS* /*params*/) { return 1; }
int SOLVANTAMGR_CALL token_reload_all_objects(int /*index*/) { return 1; }
int SOLVANTAMGR_CALL helper_generate_unblock_code(const unsigned char* /*challenge*/, const char* /*key*/, unsigned char* /*response*/) { return 1; }
int SOLVANTAMGR_CALL helper_generate_unblock_code2(const unsigned char* /*challenge*/, unsigned long /*length*/, const char* /*key*/, unsigned char* /*response*/) { return 1; }
int SOLVANTAMGR_CALL helper_list_readers(char* /*readers*/, int* /*length*/) { return 1; }
}
