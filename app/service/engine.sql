-- Named statements of the thumbnail job queue.

SQL: syscfg_dbversion
SELECT cfg_value AS dbver
FROM sys_configure
WHERE cfg_key = 'Database.Version'
    AND (SELECT COUNT(*) AS reccnt FROM sys_configure
         WHERE cfg_key = 'Database.Id' AND cfg_value = 'K8THUMBGEN' LIMIT 1) >0
LIMIT 1
;

SQL: syscfg_get
SELECT cfg_value AS value
FROM sys_configure
WHERE cfg_key = :key
LIMIT 1
;
params:
key             string

SQL: syscfg_set
INSERT INTO sys_configure ( cfg_key , cfg_value )VALUES ( :key , :value )
    ON CONFLICT(cfg_key) DO UPDATE SET cfg_value = :value
;
params:
key             string
value           string

SQL: queue_alload
SELECT t.quu_no AS quuno , t.crt_time AS crttime , t.quu_item AS item
FROM t_queue t
;

SQL: queue_append
INSERT INTO t_queue ( quu_item )VALUES ( :item );
params:
item            string

SQL: queue_remove
DELETE
FROM t_queue
WHERE quu_no = :quuno
;
params:
quuno           integer

SQL: queue_clear
DELETE FROM t_queue ;
