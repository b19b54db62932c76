smtpmail_fuzz_target(profile LIBS fuzz_support)
