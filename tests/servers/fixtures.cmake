# Test servers on 127.0.0.1 and the tests that need them. Each server script
# takes start|stop and ${PV_BINARY_DIR}/servers, and leaves its connection
# details in an env file there (samba: servers/samba.env).
pv_server_fixture(samba samba.sh)
pv_tests_need_fixture(transfer "test_smb*.cpp" samba)
pv_tests_need_fixture(blackbox "test_recovery.cpp" samba)
# smtp: servers/smtp.env; messages the servers receive land in servers/mail/.
pv_server_fixture(smtp smtp.sh)
pv_tests_need_fixture(notify "test_smtpsend*.cpp" smtp)
# The notification road end to end: mail about deliveries to a folder and to the share.
set_tests_properties(app.test_pipeline_mail PROPERTIES FIXTURES_REQUIRED "samba;smtp"
                     RESOURCE_LOCK "samba;smtp")
# The notification footer, checked through the built program.
pv_tests_need_fixture(blackbox "test_cli.cpp" smtp)
# s3: servers/s3.env; s3rver behind TLS on 127.0.0.1:443 for S3 and Google Storage, with the
# service and bucket host names in /etc/hosts while it runs.
pv_server_fixture(s3 s3.sh)
pv_tests_need_fixture(transfer "test_s3transfer*.cpp" s3)
# webdav: servers/webdav.env; nginx (dav + dav-ext) and Apache mod_dav, HTTP and HTTPS.
pv_server_fixture(webdav webdav.sh)
pv_tests_need_fixture(transfer "test_webdav*.cpp" webdav)
# sftp: servers/sftp.env (OpenSSH's sshd with a password user; see the script).
pv_server_fixture(sftp sftp.sh)
pv_tests_need_fixture(transfer "test_sftp*.cpp" sftp)
# ftp: vsftpd (explicit and implicit TLS) and pure-ftpd; servers/ftp.env.
pv_server_fixture(ftp ftp.sh)
pv_tests_need_fixture(transfer "test_ftp*.cpp" ftp)
# Every kind of server at once, through the built program.
set_tests_properties(blackbox.test_delivery_remote PROPERTIES
                     FIXTURES_REQUIRED "ftp;sftp;webdav;s3;samba"
                     RESOURCE_LOCK "ftp;sftp;webdav;s3;samba" TIMEOUT 900)
# The remote file manager and the expiry's deletions against every kind of
# server with folders, and a bucket.
set_tests_properties(remote.test_remotemanager PROPERTIES FIXTURES_REQUIRED "ftp;sftp;webdav;s3;samba"
                     RESOURCE_LOCK "ftp;sftp;webdav;s3;samba")
