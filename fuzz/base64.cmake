smtpmail_fuzz_target(base64 LIBS vxutil)
