smtpmail_fuzz_target(address LIBS fuzz_support)
