smtpmail_fuzz_target(mailcfg LIBS fuzz_support)
