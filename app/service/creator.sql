CREATE TABLE IF NOT EXISTS sys_configure ( cfg_no INTEGER PRIMARY KEY AUTOINCREMENT , cfg_userno INTEGER , cfg_key VARCHAR(250) , cfg_type INTEGER , cfg_value VARCHAR(250) , cfg_stamp VARCHAR(20) , cfg_description VARCHAR(250) );
CREATE UNIQUE INDEX IF NOT EXISTS sys_configure_cfg_key__index ON sys_configure(cfg_key ASC);
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('System.Id' , 'BR19');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('System.Name' , 'Brennic19');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('System.Version' , '1');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('Database.Id' , 'K8THUMBGEN');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('Database.Caption' , 'Thumbnail job queue');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('Database.Version' , '1');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('Database.First.Date' , DATETIME(CURRENT_TIMESTAMP, 'localtime'));
-- 计划列表
CREATE TABLE t_queue ( quu_no INTEGER PRIMARY KEY AUTOINCREMENT , crt_time DATETIME DEFAULT (datetime('now', 'localtime')) , quu_item TEXT DEFAULT '{}' );
