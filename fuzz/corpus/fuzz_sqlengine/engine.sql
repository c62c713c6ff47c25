-- two statements, one with parameters
SQL: seed_get
SELECT a FROM t WHERE k = :key ;
params:
key             string

SQL: seed_put
INSERT INTO t ( k , v ) VALUES ( :key , :value ) ;
params:
key             string
value           integer
